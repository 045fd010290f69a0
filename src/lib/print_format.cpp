#include "lib/print_format.h"

#include <cstdint>
#include <cstring>

namespace vardo {

namespace {

// The text goes out through a small buffer, written whenever it fills, so that a message is one
// write on an unbuffered stream, or a few.
struct Sink {
  FILE *out = nullptr;
  char buf[256];
  size_t used = 0;
  int count = 0;
  bool failed = false;
};

void flush(Sink &s) {
  if (s.used && fwrite(s.buf, 1, s.used, s.out) != s.used)
    s.failed = true;
  s.used = 0;
}

void put(Sink &s, const char *p, size_t n) {
  s.count += static_cast<int>(n);
  while (n) {
    size_t room = sizeof s.buf - s.used, k = n < room ? n : room;
    memcpy(s.buf + s.used, p, k);
    s.used += k;
    p += k;
    n -= k;
    if (s.used == sizeof s.buf)
      flush(s);
  }
}

void pad(Sink &s, char c, int n) {
  for (; n > 0; --n)
    put(s, &c, 1);
}

// One conversion's flags, width and precision (-1: none).
struct Conversion {
  bool left = false, zero = false, plus = false, space = false, alternate = false;
  int width = 0, precision = -1;
};

// Writes `prefix` (a sign or 0x), `digits` zero-extended to the precision, and the padding the
// width asks for.
void put_number(Sink &s, const Conversion &f, const char *prefix, const char *digits, int len) {
  int zeros = f.precision > len ? f.precision - len : 0;
  int plen = static_cast<int>(strlen(prefix));
  int fill = f.width - plen - zeros - len;
  if (f.zero && !f.left && f.precision < 0) {
    zeros += fill > 0 ? fill : 0;
    fill = 0;
  }
  if (!f.left)
    pad(s, ' ', fill);
  put(s, prefix, static_cast<size_t>(plen));
  pad(s, '0', zeros);
  put(s, digits, static_cast<size_t>(len));
  if (f.left)
    pad(s, ' ', fill);
}

// Writes an integer conversion of `value` (its magnitude, with `negative` for a signed one).
void put_integer(Sink &s, Conversion f, char conv, uint64_t value, bool negative) {
  char digits[24];
  int len = 0;
  unsigned base = conv == 'o' ? 8 : conv == 'x' || conv == 'X' || conv == 'p' ? 16 : 10;
  const char *set = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t v = value; v; v /= base)
    digits[sizeof digits - 1 - len++] = set[v % base];
  if (value == 0 && f.precision != 0)
    digits[sizeof digits - 1 - len++] = '0';
  const char *prefix = "";
  if (conv == 'd' || conv == 'i')
    prefix = negative ? "-" : f.plus ? "+" : f.space ? " " : "";
  else if ((f.alternate && conv == 'x' && value) || conv == 'p')
    prefix = "0x";
  else if (f.alternate && conv == 'X' && value)
    prefix = "0X";
  else if (f.alternate && conv == 'o' && value && f.precision <= len)
    f.precision = len + 1;
  put_number(s, f, prefix, digits + sizeof digits - len, len);
}

} // namespace

int print_format(FILE *out, const char *format, va_list args) {
  Sink s;
  s.out = out;
  va_list ap;
  va_copy(ap, args);
  for (const char *p = format; *p;) {
    const char *next = strchr(p, '%');
    if (!next)
      next = p + strlen(p);
    put(s, p, static_cast<size_t>(next - p));
    if (!*next)
      break;
    const char *start = next++;
    Conversion f;
    for (;; ++next) {
      if (*next == '-')
        f.left = true;
      else if (*next == '0')
        f.zero = true;
      else if (*next == '+')
        f.plus = true;
      else if (*next == ' ')
        f.space = true;
      else if (*next == '#')
        f.alternate = true;
      else
        break;
    }
    if (*next == '*') {
      f.width = va_arg(ap, int);
      if (f.width < 0) {
        f.left = true;
        f.width = -f.width;
      }
      ++next;
    }
    for (; *next >= '0' && *next <= '9'; ++next)
      f.width = f.width * 10 + (*next - '0');
    if (*next == '.') {
      f.precision = 0;
      if (*++next == '*') {
        f.precision = va_arg(ap, int);
        ++next;
      }
      for (; *next >= '0' && *next <= '9'; ++next)
        f.precision = f.precision * 10 + (*next - '0');
    }
    // The length: how many bits the argument was passed with.
    int bits = 32;
    for (; *next && strchr("hljzt", *next); ++next)
      bits = *next == 'h' ? bits / 2 : 64;
    char conv = *next ? *next++ : '\0';
    if (conv == 'd' || conv == 'i') {
      int64_t v = bits == 64 ? va_arg(ap, int64_t) : va_arg(ap, int);
      v = bits == 16 ? static_cast<int16_t>(v) : bits == 8 ? static_cast<int8_t>(v) : v;
      put_integer(s, f, conv, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v),
                  v < 0);
    } else if (conv && strchr("uoxX", conv)) {
      uint64_t v = bits == 64 ? va_arg(ap, uint64_t) : va_arg(ap, unsigned);
      v = bits == 16 ? static_cast<uint16_t>(v) : bits == 8 ? static_cast<uint8_t>(v) : v;
      put_integer(s, f, conv, v, false);
    } else if (conv == 'p') {
      put_integer(s, f, conv, reinterpret_cast<uintptr_t>(va_arg(ap, void *)), false);
    } else if (conv == 'c' || conv == 's') {
      char c = 0;
      const char *text = &c;
      size_t len = 1;
      if (conv == 'c') {
        c = static_cast<char>(va_arg(ap, int));
      } else {
        text = va_arg(ap, const char *);
        if (!text)
          text = "(null)";
        len = f.precision < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(f.precision));
      }
      int fill = f.width - static_cast<int>(len);
      if (!f.left)
        pad(s, ' ', fill);
      put(s, text, len);
      if (f.left)
        pad(s, ' ', fill);
    } else if (conv == '%') {
      put(s, "%", 1);
    } else {
      put(s, start, static_cast<size_t>(next - start));
    }
    p = next;
  }
  va_end(ap);
  flush(s);
  return s.failed ? -1 : s.count;
}

} // namespace vardo

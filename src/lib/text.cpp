#include "lib/text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vardo {

int copy_text(char *dst, size_t size, const char *src) {
  size_t len = strlen(src);
  if (len >= size)
    return -1;
  memcpy(dst, src, len + 1);
  return 0;
}

int format_text(char *dst, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(dst, size, format, args);
  va_end(args);
  return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

bool same_letters(const char *text, const char *word, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    char a = text[i], b = word[i];
    a = a >= 'A' && a <= 'Z' ? a + ('a' - 'A') : a;
    b = b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
    if (a != b)
      return false; // at the NUL of a shorter text too
  }
  return true;
}

bool is_listed(const char *word, size_t len, const char *list) {
  for (const char *p = list; *p; p += *p == ' ') {
    size_t n = strcspn(p, " ");
    if (n == len && strncmp(p, word, len) == 0)
      return true;
    p += n;
  }
  return false;
}

const char *find_text(const char *text, const char *part) {
  size_t len = strlen(part);
  for (; *text; ++text)
    if (strncmp(text, part, len) == 0)
      return text;
  return len == 0 ? text : nullptr;
}

const char *read_decimal(const char *text, uint64_t *value) {
  uint64_t n = 0;
  const char *p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    auto digit = static_cast<uint64_t>(*p - '0');
    if (n > (UINT64_MAX - digit) / 10)
      return nullptr;
    n = n * 10 + digit;
  }
  if (p == text)
    return nullptr;
  *value = n;
  return p;
}

bool read_answer(char *buf, int size) {
  // A byte at a time, so that nothing after the line is taken from what follows on standard
  // input; a longer line's rest belongs to this answer, not to the next question.
  int len = 0;
  char c;
  for (ssize_t n; (n = read(0, &c, 1)) == 1 || (n < 0 && errno == EINTR);) {
    if (n == 1 && len + 1 < size)
      buf[len++] = c;
    if (n == 1 && c == '\n')
      break;
  }
  buf[len] = '\0';
  return len > 0;
}

} // namespace vardo

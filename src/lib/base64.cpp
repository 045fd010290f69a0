#include "lib/base64.h"

#include <cstdint>
#include <cstring>

namespace vardo {

namespace {

constexpr char kAlphabet[64 + 1] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

int base64_decode(const char *text, size_t len, unsigned char *out, size_t size) {
  if (len % 4)
    return -1;
  if (len && text[len - 1] == '=')
    len -= text[len - 2] == '=' ? 2 : 1;
  if (len % 4 == 1 || len / 4 * 3 + len % 4 * 3 / 4 > size)
    return -1;
  uint32_t bits = 0;
  int held = 0, n = 0;
  for (size_t i = 0; i < len; ++i) {
    auto at = static_cast<const char *>(memchr(kAlphabet, text[i], 64));
    if (!at)
      return -1;
    bits = bits << 6 | static_cast<uint32_t>(at - kAlphabet);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out[n++] = static_cast<unsigned char>(bits >> held);
      bits &= (1u << held) - 1;
    }
  }
  return bits ? -1 : n;
}

void base64_encode_unpadded(const unsigned char *data, size_t len, char *out) {
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < len; ++i) {
    bits = bits << 8 | data[i];
    for (held += 8; held >= 6;) {
      held -= 6;
      *out++ = kAlphabet[bits >> held & 63];
    }
  }
  if (held)
    *out++ = kAlphabet[bits << (6 - held) & 63];
  *out = '\0';
}

} // namespace vardo

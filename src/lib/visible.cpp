#include "lib/visible.h"

#include <unistd.h>

namespace vardo {

// Room for an expanded command (2047 characters) with every byte escaped in four characters.
constexpr size_t kVisibleSize = 4 * 2048;

const char *visible(const char *text, FILE *out) {
  return isatty(fileno(out)) ? escape_controls(text) : text;
}

const char *escape_controls(const char *text) {
  static char buffers[2][kVisibleSize];
  static int next = 0;
  char *shown = buffers[next];
  next ^= 1;
  size_t w = 0;
  for (const char *t = text; *t && w + 5 <= kVisibleSize; ++t) {
    auto c = static_cast<unsigned char>(*t);
    if ((c >= 0x20 && c != 0x7F) || c == '\t')
      shown[w++] = static_cast<char>(c);
    else if (c == '\n' || c == '\r')
      w += static_cast<size_t>(snprintf(shown + w, 3, "\\%c", c == '\n' ? 'n' : 'r'));
    else
      w += static_cast<size_t>(snprintf(shown + w, 5, "\\%03o", c));
  }
  shown[w] = '\0';
  return shown;
}

} // namespace vardo

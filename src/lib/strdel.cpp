#include "lib/strdel.h"

namespace vardo {

int strdel(char *text, char c) {
  if (!text || !*text)
    return 0;
  char *out = text;
  int removed = 0;
  for (char *in = text; *in; ++in) {
    if (*in == c)
      ++removed;
    else
      *out++ = *in;
  }
  *out = '\0';
  return removed;
}

} // namespace vardo

#include "lib/text.h"

#include <cstring>

namespace vardo {

int copy_text(char *dst, size_t size, const char *src) {
  size_t len = strlen(src);
  if (len >= size)
    return -1;
  memcpy(dst, src, len + 1);
  return 0;
}

} // namespace vardo

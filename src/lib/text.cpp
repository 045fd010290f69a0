#include "lib/text.h"

#include <cstdio>
#include <cstring>

namespace vardo {

int copy_text(char *dst, size_t size, const char *src) {
  size_t len = strlen(src);
  if (len >= size)
    return -1;
  memcpy(dst, src, len + 1);
  return 0;
}

bool read_answer(char *buf, int size) {
  if (!fgets(buf, size, stdin))
    return false;
  // A longer line's rest belongs to this answer, not to the next question.
  if (!strchr(buf, '\n')) {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
  }
  return true;
}

} // namespace vardo

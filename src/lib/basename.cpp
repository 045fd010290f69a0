#include "lib/basename.h"

#include <cstring>

namespace vardo {

char *basename(char *path) {
  char *slash = strrchr(path, '/');
  if (slash)
    memmove(path, slash + 1, strlen(slash + 1) + 1);
  return path;
}

} // namespace vardo

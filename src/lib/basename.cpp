#include "lib/basename.h"

#include <cstring>

namespace vardo {

const char *basename_of(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

char *basename(char *path) {
  const char *base = basename_of(path);
  memmove(path, base, strlen(base) + 1);
  return path;
}

} // namespace vardo

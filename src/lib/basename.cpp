#include "lib/basename.h"

#include <cstring>

namespace vardo {

const char *basename_of(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

} // namespace vardo

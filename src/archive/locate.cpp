#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "archive/header.h"
#include "lib/text.h"

namespace vardo {

const char *locate_program(const char *name) {
  static char result[1024];
  if (access(name, X_OK) == 0)
    return copy_text(result, name) == 0 ? result : nullptr;
  // A name beginning with "." is taken as it stands, so that an archive that is not executable
  // can still be named explicitly.
  if (name[0] == '.')
    return name;
  const char *path = getenv("PATH");
  if (!path)
    return nullptr;
  char *copy = strdup(path);
  if (!copy)
    return nullptr;
  const char *found = nullptr;
  char *rest = copy;
  // strsep yields every element, empty ones included; an empty element gives "/name".
  for (char *element; !found && (element = strsep(&rest, ":"));) {
    if (format_text(result, sizeof result, "%s/%s", element, name) < 0)
      continue; // too long for the result buffer: skip this element
    if (access(result, X_OK) == 0)
      found = result;
  }
  free(copy);
  return found;
}

} // namespace vardo

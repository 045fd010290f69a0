#include "archive/builder.h"

#include <cstdio>
#include <cstdlib>

#include "driver/settings.h"

namespace vardo {

void build_archive(int, char **) {
  fprintf(stderr, "%s: building is not available yet\n", settings.program_name);
  exit(1);
}

} // namespace vardo

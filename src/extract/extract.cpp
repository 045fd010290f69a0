#include "extract/extract.h"

#include <cstdio>

#include "driver/settings.h"

namespace vardo {

int extract_archive(const char *) {
  fprintf(stderr, "%s: extraction is not available yet\n", settings.program_name);
  return -1;
}

} // namespace vardo

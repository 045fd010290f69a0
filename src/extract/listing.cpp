#include "extract/listing.h"

#include <cstdio>

#include "driver/settings.h"

namespace vardo {

void list_archive(const char *) {
  fprintf(stderr, "%s: listing is not available yet\n", settings.program_name);
  settings.exit_status = 1;
}

} // namespace vardo

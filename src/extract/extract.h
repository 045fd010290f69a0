#pragma once
#include "lib/text.h"

namespace vardo {

// The options of an extraction; the driver fills them from the command line.
struct ExtractOptions {
  int extract_only = 0;                 // -x: the payload to standard output, nothing run
  int no_run = 0;                       // -n
  char temp_path[kTextBufferSize] = {}; // -t
};

extern ExtractOptions extract_options;

// Performs one complete extraction of the archive `path`, open on `fd` with its header read
// (read_archive_header) and positioned at the payload; closes it. Returns 0 on success.
int extract_archive(int fd, const char *path);

} // namespace vardo

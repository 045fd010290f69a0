// The command line, parsed once by the driver, which hands each layer its part.
#pragma once

#include "archive/builder.h"
#include "extract/extract.h"

namespace vardo {

struct Options {
  bool archive_mode = false; // the running file (or the -u operand) is an archive
  bool use_operand = false;  // -u: the first operand names the archive
  bool list = false;         // -l
  // -C as given (checked to fit a header string), null when not given: what the usage shows and,
  // else the archive's own or the default comment, what a build writes.
  const char *comment = nullptr;
  BuildOptions build;
  ExtractOptions extract; // -v counts for the listing too
};

} // namespace vardo

#pragma once
#include "lib/text.h"

namespace vardo {

constexpr int kItemBufferSize = 256;

// What a build reads besides the header strings; the driver fills it from the command line.
struct ArchiveBuild {
  char preamble_path[kTextBufferSize] = {}; // -p, else the program's own file
  char item[kItemBufferSize] = {}; // scratch for prefixed feature items and raw copy chunks
};

extern ArchiveBuild archive_build;

// Writes a new archive of the operands to standard output and ends the process.
[[noreturn]] void build_archive(int operands, char **operand);

} // namespace vardo

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

// The header strings a build writes besides the feature string, as the options give them.
struct BuildHeader {
  const char *comment;
  const char *run_command;
  const char *extract_command;
};

// Writes a new archive of the operands, with the header strings `header`, to standard output
// and ends the process.
[[noreturn]] void build_archive(const BuildHeader &header, int operands, char **operand);

} // namespace vardo

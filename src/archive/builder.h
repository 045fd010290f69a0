#pragma once
#include "archive/header.h"
#include "gzstream/stream.h"
#include "lib/text.h"

namespace vardo {

constexpr int kItemBufferSize = 256;

// What a build takes from the command line besides the feature items; the driver fills it.
struct BuildOptions {
  char preamble_path[kTextBufferSize] = {}; // -p, else the program's own file
  // The header strings, each checked to fit one: -C (or the default comment), -r and -f.
  const char *comment = "";
  const char *run_command = "";
  const char *extract_command = "";
  bool quiet = false;        // -q: no progress line
  const char *key = nullptr; // -K: the key ssh-keygen signs the archive with
};

// Writes a new archive of the operands to standard output, through the stream `s`: the header
// `h` (its feature string as the options left it) with the options' strings, the payload, then
// the trailer with the archive's length and digest, signed with the options' key when given.
// Ends the process.
[[noreturn]] void build_archive(ArchiveHeader &h, const BuildOptions &options, StreamState &s,
                                int operands, char **operand);

} // namespace vardo

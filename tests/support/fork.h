// Runs a piece of library code in a forked child, so that code that ends the process (the abort
// path, the driver) can be checked for its exact output and exit status.
#pragma once
#include <functional>

#include "support/process.h"

namespace vardo::test {

// Runs `fn` in a child with standard output and standard error captured and `input` on standard
// input. The child exits 0 when `fn` returns.
RunResult run_forked(const std::function<void()> &fn, const std::string &input = "");

// An archive file's bytes: the preamble, the magic, the four header strings and the payload.
std::string archive_bytes(const std::string &preamble, const std::string &features,
                          const std::string &comment, const std::string &run_command,
                          const std::string &extract_command, const std::string &payload);

} // namespace vardo::test

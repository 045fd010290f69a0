#pragma once

namespace vardo {

// Writes a new archive of the operands to standard output and ends the process.
[[noreturn]] void build_archive(int operands, char **operand);

} // namespace vardo

#pragma once

namespace vardo {

// Prints the version line and the usage of the mode in force on standard error.
void print_usage();

} // namespace vardo

// Fatal diagnostics of the stream layer and the single abort path (exit status 1, no clean-up).
#pragma once

namespace vardo {

[[noreturn]] void fatal_error(const char *message);
[[noreturn]] void read_error_exit();
[[noreturn]] void write_error_exit();
[[noreturn]] void abort_exit();

} // namespace vardo

// Fatal diagnostics of the stream layer and the single abort path (exit status 1, no clean-up).
#pragma once

namespace vardo {

// When set, abort_exit calls this instead of ending the process; it must not return (the fuzz
// targets jump back to the fuzzer from it). The tool itself never sets it.
using AbortHook = void (*)();
extern AbortHook abort_hook;

// A reader that goes away must show as a failed write (EPIPE) with the write-error report, not
// as a silent death by SIGPIPE. A caught signal, unlike an ignored one, is reset to the default
// in the commands the tool starts, so they still see SIGPIPE as usual.
void catch_sigpipe();

[[noreturn]] void fatal_error(const char *message);
[[noreturn]] void read_error_exit();
[[noreturn]] void write_error_exit();
[[noreturn]] void abort_exit();

} // namespace vardo

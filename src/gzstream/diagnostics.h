// Fatal diagnostics of the stream layer and the single abort path (exit status 1, no clean-up).
#pragma once

namespace vardo {

// The running process as every layer sees it: the name its messages begin with, the status it
// ends with when it goes on after a failure, and the command-line flags read below the driver.
// The driver writes it while it parses the command line.
struct ProcessState {
  const char *program_name = nullptr; // argv[0] exactly as given; first word of every message
  int exit_status = 0;
  int verbose = 0;   // -v
  int to_stdout = 0; // -c
  int list = 0;      // -l
};

extern ProcessState process;

// When set, abort_exit calls this instead of ending the process; it must not return (the fuzz
// targets jump back to the fuzzer from it). The tool itself never sets it.
using AbortHook = void (*)();
extern AbortHook abort_hook;

// Set by a part of the tool that must finish something before the process ends on the abort
// path (the extraction waits for its extract command). It is told whether a write failed.
using AbortCleanup = void (*)(bool write_failed);
extern AbortCleanup abort_cleanup;

// A reader that goes away, or a file that reaches the size limit (ulimit -f), must show as a
// failed write (EPIPE, EFBIG) with the write-error report, not as a silent death by SIGPIPE or
// SIGXFSZ. A caught signal, unlike an ignored one, is reset to the default in the commands the
// tool starts, so they still see both signals as usual.
void catch_write_signals();

[[noreturn]] void fatal_error(const char *message);
[[noreturn]] void read_error_exit();
[[noreturn]] void write_error_exit();
[[noreturn]] void abort_exit();

} // namespace vardo

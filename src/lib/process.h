// The running process as every layer sees it: the name its messages begin with, the status it
// ends with, and the single abort path.
//
// Return conventions, one per kind of operation, throughout the tool:
//   - an operation that can fail returns 0 on success and -1 on failure, after its message (or,
//     where its comment says so, with errno set and no message);
//   - one that opens or finds something returns the descriptor or pointer, -1 or null on failure;
//   - a question returns bool; one that may have no answer (a filesystem that cannot be queried)
//     returns 1 for yes, 0 for no and -1 for cannot tell;
//   - one whose every failure ends the process through the abort path returns nothing.
// A few results carry more than success: read_gzip_header returns the member's method, and the
// relocation's attempts say which way to go on; their comments say so.
#pragma once

namespace vardo {

struct ProcessState {
  const char *program_name = nullptr; // argv[0], escaped on a terminal; first word of messages
  int exit_status = 0;                // 0, or 1 once a failure was reported and the run went on
};

extern ProcessState process;

// Something that must be finished before the process ends on the abort path: an extract command
// waited for, a temporary file removed, the progress line erased. It is told whether a write
// failed.
using AbortCleanup = void (*)(bool write_failed);

// Registers `cleanup` for the abort path; the latest registered runs first. At most four stand
// at once.
void on_abort(AbortCleanup cleanup);
// Takes `cleanup` off the abort path again.
void cancel_on_abort(AbortCleanup cleanup);

// When set, the abort path calls this after the clean-ups instead of ending the process; it must
// not return (the fuzz targets jump back to the fuzzer from it). The tool itself never sets it.
using AbortHook = void (*)();
extern AbortHook abort_hook;

// The single way out of a fatal error: the registered clean-ups, then exit status 1.
[[noreturn]] void abort_exit(bool write_failed = false);

} // namespace vardo

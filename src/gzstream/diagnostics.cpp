#include "gzstream/diagnostics.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gzstream/progress.h"
#include "gzstream/stream.h"
#include "lib/visible.h"

namespace vardo {

ProcessState process;

void fatal_error(const char *message) {
  fprintf(stderr, "\n%s: %s: %s\n", process.program_name, stream.in_name, message);
  abort_exit();
}

void read_error_exit() {
  int err = errno;
  fprintf(stderr, "\n%s: ", process.program_name);
  if (err) {
    errno = err;
    perror(stream.in_name);
  } else {
    fprintf(stderr, "%s: unexpected end of file\n", stream.in_name);
  }
  abort_exit();
}

AbortHook abort_hook = nullptr;
AbortCleanup abort_cleanup = nullptr;

// The single way out of a fatal error: the clean-up that is due, then status 1.
[[noreturn]] static void leave(bool write_failed) {
  progress_end();
  if (AbortCleanup cleanup = abort_cleanup) {
    abort_cleanup = nullptr;
    cleanup(write_failed);
  }
  if (abort_hook)
    abort_hook();
  exit(1);
}

void write_error_exit() {
  int err = errno;
  fprintf(stderr, "\n%s: ", process.program_name);
  if (stream.out_name[0])
    fprintf(stderr, "%s: ", visible(stream.out_name, stderr));
  fprintf(stderr, "%s\n", strerror(err));
  leave(true);
}

static void on_write_signal(int) {}

void catch_write_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_write_signal;
  sigaction(SIGPIPE, &sa, nullptr);
  sigaction(SIGXFSZ, &sa, nullptr);
}

void abort_exit() { leave(false); }

} // namespace vardo

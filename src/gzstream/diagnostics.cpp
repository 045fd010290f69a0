#include "gzstream/diagnostics.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

void fatal_error(const StreamState &s, const char *message) {
  fprintf(stderr, "\n%s: %s: %s\n", process.program_name, visible(s.in_name, stderr), message);
  abort_exit();
}

void read_error_exit(const StreamState &s) {
  int err = errno;
  fprintf(stderr, "\n%s: ", process.program_name);
  if (err) {
    errno = err;
    report_errno(s.in_name);
  } else {
    fprintf(stderr, "%s: unexpected end of file\n", visible(s.in_name, stderr));
  }
  abort_exit();
}

void write_error_exit(const StreamState &s) {
  int err = errno;
  fprintf(stderr, "\n%s: ", process.program_name);
  if (s.out_name[0])
    fprintf(stderr, "%s: ", visible(s.out_name, stderr));
  fprintf(stderr, "%s\n", strerror(err));
  abort_exit(true);
}

static void on_write_signal(int) {}

void catch_write_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_write_signal;
  sigaction(SIGPIPE, &sa, nullptr);
  sigaction(SIGXFSZ, &sa, nullptr);
}

} // namespace vardo

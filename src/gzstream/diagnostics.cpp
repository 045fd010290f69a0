#include "gzstream/diagnostics.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "driver/settings.h"
#include "gzstream/stream.h"

namespace vardo {

void fatal_error(const char *message) {
  fprintf(stderr, "\n%s: %s: %s\n", settings.program_name, stream.in_name, message);
  abort_exit();
}

void read_error_exit() {
  int err = errno;
  fprintf(stderr, "\n%s: ", settings.program_name);
  if (err) {
    errno = err;
    perror(stream.in_name);
  } else {
    fprintf(stderr, "%s: unexpected end of file\n", stream.in_name);
  }
  abort_exit();
}

void write_error_exit() {
  int err = errno;
  fprintf(stderr, "\n%s: ", settings.program_name);
  errno = err;
  perror(stream.out_name);
  abort_exit();
}

AbortHook abort_hook = nullptr;

static void on_sigpipe(int) {}

void catch_sigpipe() {
  struct sigaction sa = {};
  sa.sa_handler = on_sigpipe;
  sigaction(SIGPIPE, &sa, nullptr);
}

void abort_exit() {
  if (abort_hook)
    abort_hook();
  exit(1);
}

} // namespace vardo

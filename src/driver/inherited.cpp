#include "driver/inherited.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vardo {

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0)
      continue;
    // The lowest free descriptor is `fd` itself, since the ones below it are open by now. It is
    // open for reading only: a write to 1 or 2 fails as it would on the closed descriptor, so
    // that an archive or a listing sent nowhere is a failure, not a success.
    if (open("/dev/null", O_RDONLY) != fd)
      _exit(1); // nowhere to say so: standard error is among the closed ones
  }
}

void reset_inherited_signals() {
  signal(SIGCHLD, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void claim_stack() {
  constexpr rlim_t kStack = 1 << 20;
  rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur < kStack) {
    limit.rlim_cur = limit.rlim_max < kStack ? limit.rlim_max : kStack;
    syscall(SYS_prlimit64, 0, RLIMIT_STACK, &limit, nullptr); // the process has one thread yet
  }
}

} // namespace vardo

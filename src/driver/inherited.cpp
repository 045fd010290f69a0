#include "driver/inherited.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace vardo {

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0)
      continue;
    // The lowest free descriptor is `fd` itself, since the ones below it are open by now.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      _exit(1); // nowhere to say so: standard error is among the closed ones
  }
}

void reset_inherited_signals() {
  signal(SIGCHLD, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace vardo

#include "lib/shell.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

namespace vardo {

pid_t shell_start(const char *command, char *const *envp, int *input) {
  int pipe_fds[2] = {-1, -1};
  if (input && pipe2(pipe_fds, O_CLOEXEC) < 0)
    return -1;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // The read end becomes standard input; dup2 leaves it open across exec, the pipe's own two
  // descriptors are closed there. (Descriptors 0 to 2 are always open, so the pipe is above them.)
  if (input)
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  // The command starts with no signal blocked, whatever this process holds off at the moment.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  char sh[] = "sh", dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
  pid_t pid;
  int err = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (input) {
    close(pipe_fds[0]);
    if (err)
      close(pipe_fds[1]);
    else
      *input = pipe_fds[1];
  }
  if (err) {
    errno = err;
    return -1;
  }
  return pid;
}

} // namespace vardo

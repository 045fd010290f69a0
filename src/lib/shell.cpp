#include "lib/shell.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

namespace vardo {

// The argument vector "sh -c COMMAND [name args...]", in `argv` of `size` entries: the operands
// are handed over as they are, never as shell text.
static char **shell_argv(const char *command, const ShellCall &call, char **argv, size_t size) {
  static char sh[] = "sh", dash_c[] = "-c";
  size_t n = 0;
  argv[n++] = sh;
  argv[n++] = dash_c;
  argv[n++] = const_cast<char *>(command);
  if (call.name) {
    argv[n++] = const_cast<char *>(call.name);
    for (char *const *a = call.args; a && *a && n + 1 < size; ++a)
      argv[n++] = *a;
  }
  argv[n] = nullptr;
  return argv;
}

pid_t shell_start(const char *command, const ShellCall &call, int *input) {
  size_t count = 5;
  for (char *const *a = call.args; a && *a; ++a)
    ++count;
  char **argv = static_cast<char **>(malloc(count * sizeof(char *)));
  int pipe_fds[2] = {-1, -1};
  if (!argv || (input && pipe2(pipe_fds, O_CLOEXEC) < 0)) {
    free(argv);
    return -1;
  }
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
  pid_t pid;
  int err = posix_spawn(&pid, "/bin/sh", &actions, &attr, shell_argv(command, call, argv, count),
                        call.envp);
  free(argv);
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

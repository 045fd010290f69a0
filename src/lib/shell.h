// Commands run through the shell, as children of this process that stay in its process group:
// a command stays in the terminal's foreground, reads from it and gets what the terminal sends
// to the group, as a command started by system() or popen() would.
#pragma once
#include <sys/types.h>

namespace vardo {

// What a command is started with besides its text: its environment, and the operands it gets as
// its positional parameters ("$@"), after `name` as its $0; null when it gets none.
struct ShellCall {
  char *const *envp;
  const char *name = nullptr;
  char *const *args = nullptr; // NULL-terminated
};

// Starts "/bin/sh -c `command` [name args...]" as `call` says, with no signal blocked. With
// `input`, the command's standard input is a new pipe, whose write end (close-on-exec) is
// returned there. Returns the child's pid, or -1 with errno set.
pid_t shell_start(const char *command, const ShellCall &call, int *input);

} // namespace vardo

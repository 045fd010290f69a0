// Commands run through the shell, as children of this process that stay in its process group:
// a command stays in the terminal's foreground, reads from it and gets what the terminal sends
// to the group, as a command started by system() or popen() would.
#pragma once
#include <sys/types.h>

namespace vardo {

// Starts "/bin/sh -c `command`" with the environment `envp` and no signal blocked. With `input`,
// the command's standard input is a new pipe, whose write end (close-on-exec) is returned there.
// Returns the child's pid, or -1 with errno set.
pid_t shell_start(const char *command, char *const *envp, int *input);

} // namespace vardo

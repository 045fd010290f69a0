// What a signal does to an extraction. Every signal whose default action ends the process (and
// that was not ignored when the tool started) is caught for the whole extraction. It is passed on
// to the command that runs and the processes that command started, unless it came from the
// terminal, which has sent it to the whole foreground group already; the command's input is
// closed, the command is waited for, the temporary entries are removed, and the tool ends by the
// same signal. The commands stay in the tool's process group, so that an interactive run command
// keeps the terminal; and since only descendants are signalled, the tool's parent never is.
#pragma once
#include <csignal>
#include <sys/types.h>

#include "lib/shell.h"

namespace vardo {

// Catches the ending signals for the rest of the run.
void catch_ending_signals();

// Holds off the ending signals while the state a handler reads changes (an entry made, renamed
// or removed; a command started or reaped). Returns the mask to give back.
sigset_t hold_ending_signals();
void release_ending_signals(const sigset_t &old);

// Starts `command` through the shell (lib/shell.h) as `call` says, as the command a signal is
// passed on to. With `input`, the write end of the pipe to its standard input is returned there.
// Returns the pid, or -1 with errno set.
pid_t start_command(const char *command, const ShellCall &call, int *input);

// Closes the command's input (when not -1), waits for the command and returns its wait status,
// or -1 with errno set. The command is reaped only with the ending signals held, so a handler
// never signals a process id that has been freed.
int finish_command(pid_t pid, int input);

} // namespace vardo

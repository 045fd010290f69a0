// The processes a command started, found through /proc: for passing a signal on to a command
// and everything it runs, without moving any of them into a process group of their own.
#pragma once

namespace vardo {

// Sends `sig` to every process of this process group that descends from this process (its
// children, their children, ...), never to this process or its ancestors. A process that left
// the group (a daemon in a session of its own) is not signalled. Where /proc cannot be read, the
// signal goes to `child` alone. Async-signal-safe: it runs in a signal handler.
void signal_descendants(int sig, int child);

} // namespace vardo

// The processes a command started, found through /proc: for passing a signal on to a command
// and everything it runs, without moving any of them into a process group of their own.
#pragma once

namespace vardo {

// Sends `sig` (none when it is 0), and then SIGCONT so that a stopped one takes it or a signal
// already pending, to the child `child` and every process of this process group that descends
// from it (its children, their children, ...), never to this process, its other children or its
// ancestors. A process that left the group (a
// daemon in a session of its own), or whose parent has ended, is not found. Where /proc cannot
// be read, the signals go to `child` alone. Async-signal-safe: it runs in a signal handler.
void signal_descendants(int sig, int child);

} // namespace vardo

// Removing a directory the tool made itself (a private temporary directory, or a target directory
// it created), with all it holds, where other users may be at work. The walk goes by descriptors:
// it never follows a symbolic link (a link is removed as a link, a FIFO as a name), never leaves
// the directory's filesystem, enters a directory that belongs to another user only below a
// private directory (where no other user can reach: a command run as root may have given
// what it unpacked to them), and leaves in place, with a message, anything it cannot remove. Only
// async-signal-safe calls: a signal handler runs it.
#pragma once
#include <sys/types.h>

namespace vardo {

// Removes the directory `name` of `parent` (a descriptor) and everything below it, where `dev` and
// `ino` are the directory's as it was made, `shown` its path for messages, and `private_top` says
// that it is a private directory of this user's (mode 0700). Returns 0 when it is gone, -1 after
// the messages when something stays (a name that no longer leads to that directory, too).
int remove_tree(int parent, const char *name, dev_t dev, ino_t ino, const char *shown,
                bool private_top);

} // namespace vardo

// Removing a directory the tool made itself (a private temporary directory, or a target directory
// it created), with all it holds, where other users may be at work. The walk never follows a
// symbolic link (a link is removed as a link, a FIFO as a name), never leaves the directory's
// filesystem, never enters a directory that belongs to another user, and leaves in place, with a
// message, anything it cannot remove. Only async-signal-safe calls: a signal handler runs it.
#pragma once
#include <sys/types.h>

namespace vardo {

// Removes the directory `name` of `parent` (a descriptor) and everything below it, where `dev` is
// the directory's filesystem and `shown` its path for messages. Returns 0 when it is gone, -1
// after the messages when something stays.
int remove_tree(int parent, const char *name, dev_t dev, const char *shown);

} // namespace vardo

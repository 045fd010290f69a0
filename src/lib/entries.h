// The entries of a directory, read with the system call itself: no allocation and no stdio, so
// that a signal handler may read a directory too.
#pragma once

namespace vardo {

// Calls `each` with the name of every entry of the directory open on `fd` but "." and "..", in
// the order the system gives them, until it returns false. Returns 0 when every entry was read,
// 1 when `each` stopped the reading, -1 with errno set when the directory could not be read.
int read_entries(int fd, bool (*each)(const char *name, void *context), void *context);

} // namespace vardo

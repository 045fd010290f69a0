// A file read a byte at a time through a small buffer, with the system calls themselves: the
// C library's streams would bring their buffering and locking into the executable for the
// account files and the mount list alone.
#pragma once

namespace vardo {

struct ByteReader {
  int fd = -1;
  unsigned pos = 0, len = 0; // the unread bytes are buf[pos..len)
  unsigned char buf[512];
};

// Opens `path` for reading into `r`. Returns false when it cannot be opened.
bool open_bytes(ByteReader &r, const char *path);

// The next byte of `r`, or -1 at its end or when it cannot be read.
int next_byte(ByteReader &r);

// Closes `r`, which may be closed already.
void close_bytes(ByteReader &r);

} // namespace vardo

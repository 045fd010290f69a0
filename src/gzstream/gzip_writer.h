#pragma once
#include <cstddef>
#include <sys/types.h>

namespace vardo {

// Compresses everything readable from `in_fd` into one complete gzip member on `out_fd`, through
// the output buffer. Returns 0; write failures take the abort path.
int write_gzip_member(int in_fd, int out_fd);

// The compressor's source: one read from the current input descriptor, run through the member
// CRC and added to the input byte count. 0 or -1 mean end of input.
ssize_t read_source(unsigned char *buf, size_t size);

} // namespace vardo

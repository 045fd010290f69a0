#pragma once
#include <cstddef>
#include <sys/types.h>

#include "gzstream/stream.h"

namespace vardo {

// Compresses everything readable from the input of `s` into one complete gzip member on its
// output, through the output buffer. Write failures take the abort path.
void write_gzip_member(StreamState &s);

// The compressor's source: one read from the input of `s`, run through the member CRC, added to
// the input byte count and counted on the progress line. 0 or -1 mean end of input.
ssize_t read_source(StreamState &s, unsigned char *buf, size_t size);

} // namespace vardo

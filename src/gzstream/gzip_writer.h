#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "gzstream/stream.h"

namespace vardo {

// Compresses everything readable from the input of `s` into gzip members on its output, one per
// block of the input, through the output buffer. Write failures take the abort path.
void write_gzip_members(StreamState &s);

// Writes the member of one block: its header (with the input's base name when it is the input's
// `first`, and the record of the member's length), the DEFLATE data `piece`, the CRC of the
// block and its length.
void write_block_member(StreamState &s, bool first, const unsigned char *piece, uint32_t size,
                        uint32_t crc, uint32_t length);

// The compressor's source: one read from the input of `s`, added to the input byte count and
// counted on the progress line. 0 or -1 mean end of input.
ssize_t read_source(StreamState &s, unsigned char *buf, size_t size);

} // namespace vardo

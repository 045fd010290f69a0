#pragma once
#include <cstddef>
#include <cstdint>

#include "gzstream/stream.h"

namespace vardo {

// The CRC-32 of RFC 1952. The bytes are folded by carry-less multiplication where the processor
// has it (chosen once, on first use), and run through tables otherwise and for the last few bytes
// of a buffer.

// Continues the CRC `crc` of earlier bytes (0 for none) over `len` more and returns it: zlib's
// crc32 in value.
uint32_t crc32_of(uint32_t crc, const void *data, size_t len);

// The CRC of bytes A then B from the CRC `a` of A, the CRC `b` of B and B's length: zlib's
// crc32_combine in value.
uint32_t crc32_combine_of(uint32_t a, uint32_t b, uint64_t len_b);

// The CRC register of a stream: set to all ones (the CRC of no bytes)...
void crc32_reset(StreamState &s);
// ...fed with bytes; returns the CRC of everything since the reset...
uint32_t crc32_update(StreamState &s, const void *data, size_t len);
// ...and read.
uint32_t crc32_value(const StreamState &s);

// Limits crc32_update to folding at most `bits` wide: 512, 128, or 0 for the tables alone as on
// a processor without carry-less multiplication. Returns the width now in use, which is less
// where the processor lacks the instructions. For tests and benchmarks.
int crc32_limit_width(int bits);

} // namespace vardo

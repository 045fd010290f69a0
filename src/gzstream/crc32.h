#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

// The CRC-32 of RFC 1952 over the process-wide CRC register. A null pointer resets the register
// and returns 0; otherwise the bytes are run through it and the CRC of everything since the last
// reset is returned (length 0 returns it unchanged).
// The bytes are folded by carry-less multiplication where the processor has it (chosen once,
// on first use), and run through tables otherwise and for the last few bytes of a buffer.
uint32_t crc32_update(const void *data, size_t len);

// Limits crc32_update to folding at most `bits` wide: 512, 128, or 0 for the tables alone as on
// a processor without carry-less multiplication. Returns the width now in use, which is less
// where the processor lacks the instructions. For tests and benchmarks.
int crc32_limit_width(int bits);

} // namespace vardo

#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

// The CRC-32 of RFC 1952 over the process-wide CRC register. A null pointer resets the register
// and returns 0; otherwise the bytes are run through it and the CRC of everything since the last
// reset is returned (length 0 returns it unchanged).
uint32_t crc32_update(const void *data, size_t len);

} // namespace vardo

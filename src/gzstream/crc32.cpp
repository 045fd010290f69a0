#include "gzstream/crc32.h"

#include <array>
#include <cstring>

#include "gzstream/stream.h"

namespace vardo {

namespace {

// Eight tables for slicing-by-8: table[0] is the classic byte-at-a-time table of the reflected
// polynomial 0xEDB88320; table[k][b] is the CRC of byte b followed by k zero bytes, so eight
// input bytes are folded into the register with eight lookups and no carried dependency.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
  CrcTables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b)
    for (int k = 1; k < 8; ++k)
      t[k][b] = t[0][t[k - 1][b] & 0xFF] ^ (t[k - 1][b] >> 8);
  return t;
}

constexpr CrcTables kTables = make_tables();

} // namespace

uint32_t crc32_update(const void *data, size_t len) {
  if (!data) {
    stream.crc_register = 0xFFFFFFFFu;
    return 0;
  }
  auto *p = static_cast<const unsigned char *>(data);
  uint32_t c = stream.crc_register;
  while (len >= 8) {
    uint32_t lo, hi;
    memcpy(&lo, p, 4);
    memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len--)
    c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  stream.crc_register = c;
  return c ^ 0xFFFFFFFFu;
}

} // namespace vardo

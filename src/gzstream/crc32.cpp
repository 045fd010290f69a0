#include "gzstream/crc32.h"

#include <cstring>

#include "gzstream/stream.h"

namespace vardo {

namespace {

// Sixteen tables for slicing-by-16: table[0] is the classic byte-at-a-time table of the
// reflected polynomial 0xEDB88320; table[k][b] is the CRC of byte b followed by k zero bytes, so
// sixteen input bytes are folded into the register with sixteen independent lookups, one per
// byte. They are computed on first use rather than stored: 16 KiB less in the executable, which
// is the preamble of every archive.
constexpr int kSlices = 16;
uint32_t tables[kSlices][256];
bool tables_ready = false;

void make_tables() {
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b)
    for (int k = 1; k < kSlices; ++k)
      tables[k][b] = tables[0][tables[k - 1][b] & 0xFF] ^ (tables[k - 1][b] >> 8);
  tables_ready = true;
}

} // namespace

uint32_t crc32_update(const void *data, size_t len) {
  if (!data) {
    stream.crc_register = 0xFFFFFFFFu;
    return 0;
  }
  if (!tables_ready)
    make_tables();
  auto *p = static_cast<const unsigned char *>(data);
  uint32_t c = stream.crc_register;
  while (len >= 16) {
    uint32_t w[4];
    memcpy(w, p, 16);
    w[0] ^= c;
    c = 0;
    for (int i = 0; i < 4; ++i) {
      const auto &t = tables;
      int k = 15 - 4 * i;
      c ^= t[k][w[i] & 0xFF] ^ t[k - 1][(w[i] >> 8) & 0xFF] ^ t[k - 2][(w[i] >> 16) & 0xFF] ^
           t[k - 3][w[i] >> 24];
    }
    p += 16;
    len -= 16;
  }
  while (len--)
    c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  stream.crc_register = c;
  return c ^ 0xFFFFFFFFu;
}

} // namespace vardo

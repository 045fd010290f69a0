#include "lib/hashblocks.h"

#include <cstring>

namespace vardo {

void hash_blocks_update(const HashBlocks &h, const void *data, size_t len) {
  if (!len)
    return;
  auto p = static_cast<const unsigned char *>(data);
  size_t used = *h.length % h.size;
  *h.length += len;
  if (used) {
    size_t take = len < h.size - used ? len : h.size - used;
    memcpy(h.block + used, p, take);
    p += take;
    len -= take;
    if (used + take < h.size)
      return;
    h.compress(h.state, h.block, 1);
  }
  h.compress(h.state, p, len / h.size);
  memcpy(h.block, p + len / h.size * h.size, len % h.size);
}

void hash_blocks_pad(const HashBlocks &h) {
  size_t used = *h.length % h.size, field = h.size / 8;
  h.block[used++] = 0x80;
  if (used > h.size - field) {
    memset(h.block + used, 0, h.size - used);
    h.compress(h.state, h.block, 1);
    used = 0;
  }
  memset(h.block + used, 0, h.size - used);
  // The length in bits, big-endian; only SHA-512's 128-bit field has room for bits above 63.
  unsigned __int128 bits = static_cast<unsigned __int128>(*h.length) << 3;
  for (size_t i = 0; i < field; ++i)
    h.block[h.size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  h.compress(h.state, h.block, 1);
}

} // namespace vardo

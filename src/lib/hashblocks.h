// The block buffering and padding that SHA-256 and SHA-512 share (FIPS 180-4, 5.1 and 6.1): bytes
// are gathered into whole blocks for a compression function, and the last block is padded with a
// one bit, zeros and the message length in bits.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

// Runs `blocks` whole blocks at `p` through the chaining value at `state`.
using CompressFn = void (*)(void *state, const unsigned char *p, size_t blocks);

// A hash's buffered input: `block` of `size` bytes (64 or 128), `length` the bytes fed so far.
struct HashBlocks {
  void *state;
  unsigned char *block;
  size_t size;
  uint64_t *length;
  CompressFn compress;
};

// Feeds `len` bytes: whole blocks go to the compression function, the rest waits in the block.
void hash_blocks_update(const HashBlocks &h, const void *data, size_t len);

// Pads the message as FIPS 180-4 does, the length field taking the last size / 8 bytes, and runs
// the last block or two.
void hash_blocks_pad(const HashBlocks &h);

} // namespace vardo

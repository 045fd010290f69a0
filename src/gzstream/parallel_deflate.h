// The members of one input, compressed on every processor the process may run on, in bytes that
// depend on the input alone.
#pragma once
#include <cstddef>

#include "gzstream/stream.h"

namespace vardo {

// The input is cut into blocks of this size, each compressed into a gzip member of its own by
// whichever worker is free.
constexpr size_t kDeflateBlockSize = 1024 * 1024;
// zlib stores a DEFLATE block as it is when that is shorter, so a block's compressed bytes are
// never more than its input plus 5 bytes of header for each stored block (one per 16 K symbols
// at memory level 8) and the final block's: 1 KiB more than a block per 128 KiB of it holds them.
constexpr size_t kDeflatePieceSize = kDeflateBlockSize + kDeflateBlockSize / 128 + 1024;

// Compresses everything readable from the input of `s`, through read_source, block by block, and
// writes each block's member with write_block_member, in input order. A block that zlib cannot
// compress, or a worker that is lost, takes the abort path.
void deflate_input(StreamState &s);

} // namespace vardo

// The input of a member is cut into blocks of kDeflateBlockSize, and each block is compressed on
// its own by zlib into a gzip member of its own: raw DEFLATE at level 9, window bits -15 (a 32
// KiB window, no zlib wrapper), memory level 8, the default strategy, Z_FINISH, and no dictionary
// from the block before, so that a reader can decode every member whole and on its own, on any
// processor. Larger blocks lose less to the cuts (measured on a 64 MiB tar of /usr/lib and
// /usr/share, and on a 512 MiB one, against one stream with the block before as dictionary:
// 128 KiB blocks +1.1 % and +1.7 %, 512 KiB +0.2 % and ... ; see bench/RESULTS.md), and cost the
// reader memory: a block's input and output per slot.
//
// A block's bytes depend on its own input alone, never on which worker compressed it or when, so
// the members are the same with one worker or sixteen. An input of one block or less is
// compressed by the calling process without starting any. The calling process reads the input
// through read_source (which keeps the byte count and the progress line), hands the blocks to the
// workers (gzstream/workers.h), and writes the members in input order. Memory is fixed per
// worker, whatever the size of the input: two slots of a block and its compressed piece, and its
// copy of the zlib workspace.
#include "gzstream/parallel_deflate.h"

#include <zlib.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_writer.h"
#include "gzstream/workers.h"
#include "gzstream/zlib_memory.h"

namespace vardo {

namespace {

struct Block {
  unsigned char data[kDeflateBlockSize];
  unsigned char piece[kDeflatePieceSize]; // the compressed bytes
  uint32_t size;                          // input bytes
  uint32_t piece_size;
  uint32_t crc; // of the input bytes
};

constexpr char kLostWorker[] = "a compressing process was lost";

Block &block(Workers &w, uint64_t n) { return *static_cast<Block *>(workers_slot(w, n)); }

// Compresses the block in a fresh zlib stream: zlib's match search reads up to 258 bytes past
// the end of the data, which a fresh stream has zeroed but a reused one would hold from whatever
// it compressed before. Returns false when zlib fails.
bool compress_block(void *slot, ZlibWorkspace &workspace) {
  Block &b = *static_cast<Block *>(slot);
  b.crc = crc32_of(0, b.data, b.size);
  z_stream z = {};
  use_zlib_workspace(&z, workspace);
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  z.next_in = b.data;
  z.avail_in = b.size;
  z.next_out = b.piece;
  z.avail_out = kDeflatePieceSize;
  int ret = deflate(&z, Z_FINISH);
  b.piece_size = static_cast<uint32_t>(kDeflatePieceSize - z.avail_out);
  deflateEnd(&z);
  return ret == Z_STREAM_END;
}

// Reads up to a block of input, as much as the source gives: where the cuts fall depends on the
// input alone, not on how the reads deliver it. Returns the bytes read.
uint32_t fill_block(StreamState &s, unsigned char *in) {
  size_t got = 0;
  while (got < kDeflateBlockSize) {
    ssize_t n = read_source(s, in + got, kDeflateBlockSize - got);
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  return static_cast<uint32_t>(got);
}

// Writes block n's member once it is compressed.
void write_block(StreamState &s, Workers &w, uint64_t n) {
  if (!workers_await(s, w, n))
    fatal_error(s, "out of memory");
  const Block &b = block(w, n);
  write_block_member(s, n == 0, b.piece, b.piece_size, b.crc, b.size);
}

} // namespace

void deflate_input(StreamState &s) {
  Workers w;
  int wanted = worker_count();
  workers_map(s, w, wanted, 2 * wanted, sizeof(Block), compress_block, kLostWorker);
  // Reading runs ahead of writing by as many blocks as there are slots. A block is handed out
  // once read: a short one is the last, and the workers start with the second.
  uint64_t read = 0, written = 0;
  bool more = true;
  while (more || written < read) {
    while (more && read - written < static_cast<uint64_t>(w.slots)) {
      Block &b = block(w, read);
      b.size = fill_block(s, b.data);
      // An input of whole blocks ends with the last of them, not with an empty one, unless it
      // is empty.
      if (b.size == 0 && read > 0) {
        more = false;
        break;
      }
      more = b.size == kDeflateBlockSize;
      workers_hand_out(s, w, read, read > 0);
      ++read;
    }
    if (written < read)
      write_block(s, w, written++);
  }
  workers_stop(s, w);
  workers_unmap(w);
}

} // namespace vardo

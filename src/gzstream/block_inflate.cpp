#include "gzstream/block_inflate.h"

#include <cerrno>
#include <libdeflate.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/parallel_deflate.h"

namespace vardo {

namespace {

// A member as a slot holds it: its DEFLATE data and its trailer, read by the calling process,
// and the block a worker decodes them to.
struct MemberSlot {
  uint32_t data_size;  // the DEFLATE data's bytes in `in`, before the 8-byte trailer
  uint32_t size;       // the block's length, as the record says
  uint32_t crc;        // the trailer's CRC
  bool named;          // the first member of an input
  unsigned char error; // what went wrong: an index into kFailures
  unsigned char in[kDeflatePieceSize + 8];
  unsigned char out[kDeflateBlockSize];
};

const char *const kFailures[] = {"", "out of memory", "invalid compressed data--format violated",
                                 "invalid compressed data--crc error",
                                 "invalid compressed data--length error"};
enum : unsigned char { kNoMemory = 1, kFormat, kCrc, kLength };

constexpr char kLostWorker[] = "a decoding process was lost";

// The workers and their slots, mapped at the first block member of the process and kept for the
// next payload, so that a payload left on the abort path (which the fuzz targets return from)
// leaves nothing mapped behind.
Workers pool;

MemberSlot &slot(uint64_t n) { return *static_cast<MemberSlot *>(workers_slot(pool, n)); }

uint32_t little_endian(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Decodes the member of a slot whole, and checks it as the streaming inflate would: the DEFLATE
// data must end exactly where the trailer begins, give the length the record and ISIZE say, and
// the CRC. Each process makes its own decompressor once.
bool decode_member(void *p, ZlibWorkspace &) {
  MemberSlot &m = *static_cast<MemberSlot *>(p);
  static libdeflate_decompressor *decompressor = nullptr;
  if (!decompressor)
    decompressor = libdeflate_alloc_decompressor();
  m.crc = little_endian(m.in + m.data_size);
  size_t used = 0, out = 0;
  libdeflate_result result = LIBDEFLATE_BAD_DATA;
  if (decompressor)
    result = libdeflate_deflate_decompress_ex(decompressor, m.in, m.data_size, m.out, m.size, &used,
                                              &out);
  if (!decompressor)
    m.error = kNoMemory;
  else if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
    m.error = kLength;
  else if (result != LIBDEFLATE_SUCCESS || used != m.data_size)
    m.error = kFormat;
  else if (crc32_of(0, m.out, out) != m.crc)
    m.error = kCrc;
  else if (out != m.size || little_endian(m.in + m.data_size + 4) != m.size)
    m.error = kLength;
  else
    m.error = 0;
  return m.error == 0;
}

// Writes the earliest member handed out, once decoded.
void write_next(StreamState &s, BlockDecoder &d, PayloadEnd &end) {
  uint64_t n = d.written++;
  MemberSlot &m = slot(n);
  if (!workers_await(s, pool, n))
    fatal_error(s, kFailures[m.error]);
  if (s.out_fd != kNoOutput)
    write_all(s, m.out, m.size);
  s.bytes_out += m.size;
  chain_member(end, m.named, m.crc, m.size);
}

} // namespace

bool block_member_fits(const GzipMember &m) {
  uint32_t header = m.header_bytes - 8;
  return m.block_length >= m.header_bytes && m.block_length - header <= sizeof MemberSlot::in &&
         m.block_size <= kDeflateBlockSize;
}

void block_member_take(StreamState &s, BlockDecoder &d, const GzipMember &m, PayloadEnd &end) {
  if (d.handed == 0) { // a new payload: whatever an earlier one left on the abort path is gone
    int wanted = worker_count();
    if (pool.mapping && pool.wanted != wanted)
      workers_unmap(pool);
    if (!pool.mapping)
      workers_map(s, pool, wanted, wanted + 1, sizeof(MemberSlot), decode_member, kLostWorker);
    pool.started = false;
    pool.running = 0;
  }
  if (d.handed - d.written == static_cast<uint64_t>(pool.slots))
    write_next(s, d, end);
  MemberSlot &slot_of_member = slot(d.handed);
  size_t rest = m.block_length - (m.header_bytes - 8);
  if (read_input(s, slot_of_member.in, rest) != rest) {
    block_members_write(s, d, end, false); // what came before the cut
    errno = 0;                             // reported as the end of the file
    read_error_exit(s);
  }
  slot_of_member.data_size = static_cast<uint32_t>(rest - 8);
  slot_of_member.size = m.block_size;
  slot_of_member.named = m.named;
  // The workers start with the second member: a payload of one is decoded here.
  workers_hand_out(s, pool, d.handed, d.handed > 0);
  ++d.handed;
}

void block_members_write(StreamState &s, BlockDecoder &d, PayloadEnd &end, bool stop) {
  while (d.written < d.handed)
    write_next(s, d, end);
  if (stop && pool.started)
    workers_stop(s, pool);
}

} // namespace vardo

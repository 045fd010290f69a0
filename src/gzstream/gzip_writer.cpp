#include "gzstream/gzip_writer.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "gzstream/gzip_reader.h"
#include "gzstream/parallel_deflate.h"
#include "gzstream/progress.h"
#include "gzstream/stream.h"
#include "lib/basename.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// A member as written here (RFC 1952; numbers little-endian):
//
//   offset  size  field
//   0       4     1F 8B 08, FLG: 0x04 FEXTRA, and 0x08 FNAME on an input's first member
//   4       4     MTIME 0: none is recorded
//   8       1     XFL 2: maximum compression (level 9)
//   9       1     OS 3: Unix
//   10      2     XLEN 12
//   12      2     SI1 SI2 'V' 'B': the block record...
//   14      2     LEN 8
//   16      4     ...the member's length, from its first byte through ISIZE
//   20      4     ...and its data's, as ISIZE holds it
//   24      ..0   FNAME: the base name of the input name and its NUL, on the first member only
//   next    ..    raw DEFLATE stream of the block
//   after   4     CRC32 of the block
//   after   4     ISIZE: the block's length
// Every byte of a member goes through the output buffer, which leaves in writes of exactly 8192
// bytes, then one final shorter write.
static unsigned char *put_long(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    *p++ = static_cast<unsigned char>(v >> (8 * i));
  return p;
}

ssize_t read_source(StreamState &s, unsigned char *buf, size_t size) {
  ssize_t n = read(s.in_fd, buf, size);
  if (n < 0) {
    // The member is still completed with what was read, but the build must not end as a
    // success with part of a file missing.
    progress_clear();
    report_errno(s.in_name);
    process.exit_status = 1;
  }
  if (n <= 0)
    return n;
  s.bytes_in += static_cast<uint64_t>(n);
  progress_advance(static_cast<uint64_t>(n));
  return n;
}

void write_block_member(StreamState &s, bool first, const unsigned char *piece, uint32_t size,
                        uint32_t crc, uint32_t length) {
  const char *name = first ? basename_of(s.in_name) : nullptr;
  size_t name_size = name ? strlen(name) + 1 : 0;
  unsigned char header[24] = {0x1F,
                              0x8B,
                              8,
                              static_cast<unsigned char>(name ? 0x0C : 0x04),
                              0,
                              0,
                              0,
                              0,
                              2,
                              3,
                              12,
                              0,
                              kBlockSubfield >> 8,
                              kBlockSubfield & 0xFF,
                              8,
                              0};
  put_long(put_long(header + 16, static_cast<uint32_t>(sizeof header + name_size + size + 8)),
           length);
  append_output(s, header, sizeof header);
  append_output(s, name, name_size);
  append_output(s, piece, size);
  unsigned char trailer[8];
  put_long(put_long(trailer, crc), length);
  append_output(s, trailer, sizeof trailer);
}

void write_gzip_members(StreamState &s) {
  s.out_count = 0;
  deflate_input(s); // on every processor: parallel_deflate.cpp
  flush_output_buffer(s);
}

} // namespace vardo

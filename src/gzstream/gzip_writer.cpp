#include "gzstream/gzip_writer.h"

#include <cstdio>
#include <unistd.h>

#include "gzstream/crc32.h"
#include "gzstream/parallel_deflate.h"
#include "gzstream/progress.h"
#include "gzstream/stream.h"
#include "lib/basename.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// Every byte of a member goes through the output buffer, which leaves in writes of exactly 8192
// bytes, then one final shorter write.
static void put_byte(StreamState &s, unsigned char b) { append_output(s, &b, 1); }

static void put_long(StreamState &s, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    put_byte(s, static_cast<unsigned char>(v >> (8 * i)));
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
  s.member_crc = crc32_update(s, buf, static_cast<size_t>(n));
  s.bytes_in += static_cast<uint64_t>(n);
  progress_advance(static_cast<uint64_t>(n));
  return n;
}

void write_gzip_member(StreamState &s) {
  s.out_count = 0;
  // ID1 ID2, CM 8 (deflate), FLG 0x08: only FNAME follows the fixed part.
  put_byte(s, 0x1F);
  put_byte(s, 0x8B);
  put_byte(s, 8);
  put_byte(s, 0x08);
  put_long(s, 0); // MTIME: none is recorded
  crc32_reset(s);
  s.member_crc = crc32_value(s);
  put_byte(s, 2); // XFL: maximum compression (level 9)
  put_byte(s, 3); // OS: Unix
  // FNAME: the base name of the input name and its NUL.
  for (const char *p = basename_of(s.in_name);; ++p) {
    put_byte(s, static_cast<unsigned char>(*p));
    if (!*p)
      break;
  }
  deflate_input(s); // on every processor: parallel_deflate.cpp
  // Trailer: CRC32 of this member's input, then ISIZE, the input byte count of the whole run
  // modulo 2^32.
  put_long(s, s.member_crc);
  put_long(s, static_cast<uint32_t>(s.bytes_in));
  flush_output_buffer(s);
}

} // namespace vardo

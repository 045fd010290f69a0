#include "gzstream/gzip_writer.h"

#include <cstdio>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "gzstream/zlib_memory.h"
#include "lib/basename.h"
#include "lib/process.h"

namespace vardo {

// Every byte of a member goes through the output buffer, which leaves in writes of exactly 8192
// bytes, then one final shorter write.
static void put_byte(StreamState &s, unsigned char b) {
  s.outbuf[s.out_count++] = b;
  if (s.out_count == kOutputBufferSize)
    flush_output_buffer(s);
}

static void put_long(StreamState &s, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    put_byte(s, static_cast<unsigned char>(v >> (8 * i)));
}

ssize_t read_source(StreamState &s, unsigned char *buf, size_t size) {
  ssize_t n = read(s.in_fd, buf, size);
  if (n < 0) {
    // The member is still completed with what was read, but the build must not end as a
    // success with part of a file missing.
    perror(s.in_name);
    process.exit_status = 1;
  }
  if (n <= 0)
    return n;
  s.member_crc = crc32_update(s, buf, static_cast<size_t>(n));
  s.bytes_in += static_cast<uint64_t>(n);
  return n;
}

// Runs the whole input through zlib's raw deflate (level 9, 32 KiB window, no zlib wrapper)
// into the output buffer.
static void compress_input(StreamState &s) {
  z_stream z = {};
  use_zlib_workspace(&z, s);
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    fatal_error(s, "out of memory");
  int flush = Z_NO_FLUSH;
  for (;;) {
    if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
      ssize_t n = read_source(s, s.inbuf, kInputBufferSize);
      if (n > 0) {
        z.next_in = s.inbuf;
        z.avail_in = static_cast<uInt>(n);
      } else {
        flush = Z_FINISH;
      }
    }
    z.next_out = s.outbuf + s.out_count;
    z.avail_out = static_cast<uInt>(kOutputBufferSize - s.out_count);
    int ret = deflate(&z, flush);
    s.out_count = static_cast<uint32_t>(kOutputBufferSize - z.avail_out);
    if (s.out_count == kOutputBufferSize)
      flush_output_buffer(s);
    if (ret == Z_STREAM_END)
      break;
  }
  deflateEnd(&z);
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
  compress_input(s);
  // Trailer: CRC32 of this member's input, then ISIZE, the input byte count of the whole run
  // modulo 2^32.
  put_long(s, s.member_crc);
  put_long(s, static_cast<uint32_t>(s.bytes_in));
  flush_output_buffer(s);
}

} // namespace vardo

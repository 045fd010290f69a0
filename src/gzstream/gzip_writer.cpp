#include "gzstream/gzip_writer.h"

#include <cstdio>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "gzstream/zlib_memory.h"
#include "lib/basename.h"

namespace vardo {

// Every byte of a member goes through the output buffer, which leaves in writes of exactly 8192
// bytes, then one final shorter write.
static void put_byte(unsigned char b) {
  stream.outbuf[stream.out_count++] = b;
  if (stream.out_count == kOutputBufferSize)
    flush_output_buffer();
}

static void put_long(uint32_t v) {
  for (int i = 0; i < 4; ++i)
    put_byte(static_cast<unsigned char>(v >> (8 * i)));
}

ssize_t read_source(unsigned char *buf, size_t size) {
  ssize_t n = read(stream.in_fd, buf, size);
  if (n < 0) {
    // The member is still completed with what was read, but the build must not end as a
    // success with part of a file missing.
    perror(stream.in_name);
    process.exit_status = 1;
  }
  if (n <= 0)
    return n;
  stream.member_crc = crc32_update(buf, static_cast<size_t>(n));
  stream.bytes_in += static_cast<uint32_t>(n);
  return n;
}

// Runs the whole input through zlib's raw deflate (level 9, 32 KiB window, no zlib wrapper)
// into the output buffer.
static void compress_input() {
  z_stream z = {};
  use_zlib_workspace(&z);
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    fatal_error("out of memory");
  int flush = Z_NO_FLUSH;
  for (;;) {
    if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
      ssize_t n = read_source(stream.inbuf, kInputBufferSize);
      if (n > 0) {
        z.next_in = stream.inbuf;
        z.avail_in = static_cast<uInt>(n);
      } else {
        flush = Z_FINISH;
      }
    }
    z.next_out = stream.outbuf + stream.out_count;
    z.avail_out = static_cast<uInt>(kOutputBufferSize - stream.out_count);
    int ret = deflate(&z, flush);
    stream.out_count = static_cast<uint32_t>(kOutputBufferSize - z.avail_out);
    if (stream.out_count == kOutputBufferSize)
      flush_output_buffer();
    if (ret == Z_STREAM_END)
      break;
  }
  deflateEnd(&z);
}

int write_gzip_member(int in_fd, int out_fd) {
  stream.in_fd = in_fd;
  stream.out_fd = out_fd;
  stream.out_count = 0;
  stream.method = 8;
  // ID1 ID2, CM 8 (deflate), FLG 0x08: only FNAME follows the fixed part.
  put_byte(0x1F);
  put_byte(0x8B);
  put_byte(8);
  put_byte(0x08);
  put_long(stream.time_stamp); // MTIME: nothing sets it in build mode, so 0
  crc32_reset();
  stream.member_crc = crc32_value();
  put_byte(2); // XFL: maximum compression (level 9)
  put_byte(3); // OS: Unix
  // FNAME: the base name of the input name and its NUL.
  for (const char *p = basename_of(stream.in_name);; ++p) {
    put_byte(static_cast<unsigned char>(*p));
    if (!*p)
      break;
  }
  stream.header_bytes = stream.out_count;
  compress_input();
  // Trailer: CRC32 of this member's input, then ISIZE, the input byte count of the whole run.
  put_long(stream.member_crc);
  put_long(stream.bytes_in);
  stream.header_bytes += 8;
  flush_output_buffer();
  return 0;
}

} // namespace vardo

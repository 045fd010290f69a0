#include "gzstream/gzip_reader.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "gzstream/zlib_memory.h"
#include "lib/basename.h"

namespace vardo {

// A gzip member as read here (RFC 1952; numbers little-endian):
//
//   offset  size  field
//   0       2     ID1 ID2: 1F 8B, or 1F 9E
//   2       1     CM: 8 (deflate) only
//   3       1     FLG: 0x02 part number, 0x04 FEXTRA, 0x08 FNAME, 0x10 FCOMMENT; others ignored
//   4       4     MTIME: a non-zero value becomes the time stamp
//   8       1     XFL, skipped
//   9       1     OS, skipped
//   10      2     part number, only with FLG 0x02 (directly after OS, not a header CRC)
//   next    2+n   FEXTRA: XLEN, then XLEN bytes skipped
//   next    ..0   FNAME: up to and including a NUL; copied into the output name or skipped
//   next    ..0   FCOMMENT: up to and including a NUL, skipped
//   next    ..    raw DEFLATE stream
//   after   4     CRC32 of the uncompressed data
//   after   4     ISIZE, the uncompressed length modulo 2^32
enum : int { kPartNumber = 0x02, kExtraField = 0x04, kOrigName = 0x08, kComment = 0x10 };

static unsigned read_short() {
  unsigned lo = static_cast<unsigned>(next_input_byte());
  return lo | static_cast<unsigned>(next_input_byte()) << 8;
}

static uint32_t read_long() {
  uint32_t lo = read_short();
  return lo | static_cast<uint32_t>(read_short()) << 16;
}

static void skip_string() {
  while (next_input_byte() != 0) {
  }
}

// Copies the stored name over the output name; a name that does not fit ends the process.
static void copy_stored_name() {
  basename(stream.out_name);
  for (size_t i = 0;; ++i) {
    char c = static_cast<char>(next_input_byte());
    stream.out_name[i] = c;
    if (c == '\0')
      return;
    if (i == kNameSize - 1)
      fatal_error("corrupted input -- file name too large");
  }
}

// Checks the header of a member whose two magic bytes have been read, and reads its fields.
static int parse_gzip_header(int id1, int id2) {
  stream.method = -1;
  stream.members++;
  stream.header_bytes = 0;
  if (id1 != 0x1F || (id2 != 0x8B && id2 != 0x9E)) {
    fprintf(stderr, "%s: can only handle GZIP compression method\n", process.program_name);
    process.exit_status = 1;
    return -1;
  }
  stream.method = next_input_byte();
  if (stream.method != 8) {
    fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n",
            process.program_name, stream.in_name, stream.method);
    process.exit_status = 1;
    return -1;
  }
  int flags = next_input_byte();
  uint32_t mtime = read_long();
  if (mtime != 0)
    stream.time_stamp = mtime;
  next_input_byte(); // XFL
  next_input_byte(); // OS
  if (flags & kPartNumber) {
    unsigned part = read_short();
    if (process.verbose)
      fprintf(stderr, "%s: %s: part number %u\n", process.program_name, stream.in_name, part);
  }
  if (flags & kExtraField) {
    unsigned len = read_short();
    if (process.verbose)
      fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", process.program_name,
              stream.in_name, len);
    while (len--)
      next_input_byte();
  }
  if (flags & kOrigName) {
    if ((process.to_stdout && !process.list) || stream.members > 1)
      skip_string();
    else
      copy_stored_name();
  }
  if (flags & kComment)
    skip_string();
  // Header length plus the trailer, for the listing's ratio. Counted from the bytes taken since
  // the stream was reset, so a header longer than one buffer fill is still counted right.
  if (stream.members == 1)
    stream.header_bytes = input_consumed() + 8;
  return 8;
}

int read_gzip_header() {
  int id1 = next_input_byte();
  int id2 = next_input_byte();
  return parse_gzip_header(id1, id2);
}

// Inflates one raw DEFLATE stream from the input buffer into the inflate window, then gives
// back the read-ahead bytes the stream did not use.
static void inflate_stream() {
  z_stream z = {};
  use_zlib_workspace(&z);
  int ret = inflateInit2(&z, -15);
  if (ret != Z_OK)
    fatal_error(ret == Z_MEM_ERROR ? "out of memory" : "invalid compressed data--format violated");
  stream.out_count = 0;
  for (;;) {
    if (stream.in_pos >= stream.in_fill) {
      refill_input();
      stream.in_pos = 0;
    }
    z.next_in = stream.inbuf + stream.in_pos;
    z.avail_in = stream.in_fill - stream.in_pos;
    z.next_out = stream.window + stream.out_count;
    z.avail_out = static_cast<uInt>(kInflateWindowSize - stream.out_count);
    ret = inflate(&z, Z_NO_FLUSH);
    // zlib leaves unused input in avail_in, also at the end of the stream.
    stream.in_pos = stream.in_fill - z.avail_in;
    stream.out_count = static_cast<uint32_t>(kInflateWindowSize - z.avail_out);
    if (stream.out_count == kInflateWindowSize)
      flush_inflate_window();
    if (ret == Z_STREAM_END)
      break;
    if (ret == Z_MEM_ERROR)
      fatal_error("out of memory");
    if (ret != Z_OK && !(ret == Z_BUF_ERROR && z.avail_in == 0))
      fatal_error("invalid compressed data--format violated");
  }
  inflateEnd(&z);
  flush_inflate_window();
}

int inflate_member(int in_fd, int out_fd) {
  stream.in_fd = in_fd;
  stream.out_fd = out_fd;
  crc32_reset();
  uint32_t before = stream.bytes_out;
  inflate_stream();
  uint32_t crc = read_long();
  uint32_t size = read_long();
  if (crc != crc32_value())
    fatal_error("invalid compressed data--crc error");
  // The builder writes the running total of every member so far; members written one by one by
  // other tools carry their own length. Both are taken modulo 2^32.
  if (size != stream.bytes_out && size != stream.bytes_out - before)
    fatal_error("invalid compressed data--length error");
  return 0;
}

off_t read_final_trailer(int fd, uint32_t *crc, uint32_t *size) {
  unsigned char trailer[8];
  off_t at = lseek(fd, -8, SEEK_END);
  if (at < 0 || read(fd, trailer, 8) != 8) {
    errno = 0; // reported as the end of the file, not as the failed seek
    read_error_exit();
  }
  *crc = *size = 0;
  for (int i = 3; i >= 0; --i) {
    *crc = *crc << 8 | trailer[i];
    *size = *size << 8 | trailer[4 + i];
  }
  return at;
}

int inflate_payload(int in_fd, int out_fd) {
  inflate_member(in_fd, out_fd);
  // The payload ends only at the end of the source. Whatever follows a member must be another
  // whole member: a cut header is the end-of-file report, other bytes a header that is refused.
  for (;;) {
    int id1 = try_next_input_byte();
    if (id1 < 0)
      return 0;
    if (parse_gzip_header(id1, next_input_byte()) < 0)
      abort_exit(); // its message is printed
    inflate_member(in_fd, out_fd);
  }
}

} // namespace vardo

#include "gzstream/gzip_reader.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/block_inflate.h"
#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "gzstream/zlib_memory.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// A gzip member as read here (RFC 1952; numbers little-endian):
//
//   offset  size  field
//   0       2     ID1 ID2: 1F 8B, or 1F 9E
//   2       1     CM: 8 (deflate) only
//   3       1     FLG: 0x02 part number, 0x04 FEXTRA, 0x08 FNAME, 0x10 FCOMMENT; others ignored
//   4       4     MTIME, handed to the caller (0: none recorded)
//   8       1     XFL, skipped
//   9       1     OS, skipped
//   10      2     part number, only with FLG 0x02 (directly after OS, not a header CRC)
//   next    2+n   FEXTRA: XLEN, then XLEN bytes skipped
//   next    ..0   FNAME: up to and including a NUL; copied into the caller's buffer or skipped
//   next    ..0   FCOMMENT: up to and including a NUL, skipped
//   next    ..    raw DEFLATE stream
//   after   4     CRC32 of the uncompressed data
//   after   4     ISIZE, the uncompressed length modulo 2^32
enum : int { kPartNumber = 0x02, kExtraField = 0x04, kOrigName = 0x08, kComment = 0x10 };

static unsigned read_short(StreamState &s) {
  unsigned lo = static_cast<unsigned>(next_input_byte(s));
  return lo | static_cast<unsigned>(next_input_byte(s)) << 8;
}

static uint32_t read_long(StreamState &s) {
  uint32_t lo = read_short(s);
  return lo | static_cast<uint32_t>(read_short(s)) << 16;
}

static uint32_t little_endian(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The block record that begins an extra field of `xlen` bytes at `extra`: SI1 SI2 'V' 'B', LEN 8,
// the member's length through ISIZE and its data's. False, the lengths untouched, for any other.
static bool block_record(const unsigned char *extra, unsigned xlen, uint32_t *length,
                         uint32_t *size) {
  if (xlen < 12 || (extra[0] << 8 | extra[1]) != kBlockSubfield || extra[2] != 8 || extra[3] != 0)
    return false;
  *length = little_endian(extra + 4);
  *size = little_endian(extra + 8);
  return true;
}

static void skip_string(StreamState &s) {
  while (next_input_byte(s) != 0) {
  }
}

// Copies the stored name into the caller's buffer; a name that does not fit ends the process.
static void copy_stored_name(StreamState &s, char *name) {
  for (size_t i = 0;; ++i) {
    char c = static_cast<char>(next_input_byte(s));
    name[i] = c;
    if (c == '\0')
      return;
    if (i == kNameSize - 1)
      fatal_error(s, "corrupted input -- file name too large");
  }
}

// Checks the header of a member whose two magic bytes have been read, `start` being the input
// consumed before them, and reads its fields into `m`.
static int parse_gzip_header(StreamState &s, int id1, int id2, uint64_t start, GzipMember *m,
                             bool verbose) {
  if (id1 != 0x1F || (id2 != 0x8B && id2 != 0x9E)) {
    fprintf(stderr, "%s: can only handle GZIP compression method\n", process.program_name);
    process.exit_status = 1;
    return -1;
  }
  int method = next_input_byte(s);
  if (method != 8) {
    fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n",
            process.program_name, visible(s.in_name, stderr), method);
    process.exit_status = 1;
    return -1;
  }
  int flags = next_input_byte(s);
  m->mtime = read_long(s);
  next_input_byte(s); // XFL
  next_input_byte(s); // OS
  if (flags & kPartNumber) {
    unsigned part = read_short(s);
    if (verbose)
      fprintf(stderr, "%s: %s: part number %u\n", process.program_name, visible(s.in_name, stderr),
              part);
  }
  if (flags & kExtraField) {
    unsigned len = read_short(s);
    // The first subfield's identifier, SI1 then SI2, says what the member is; a block record
    // follows its LEN of 8.
    unsigned char first[12] = {};
    for (unsigned i = 0; i < len; ++i) {
      auto c = static_cast<unsigned char>(next_input_byte(s));
      if (i < sizeof first)
        first[i] = c;
    }
    m->subfield = static_cast<uint16_t>(first[0] << 8 | first[1]);
    block_record(first, len, &m->block_length, &m->block_size);
    if (verbose && m->subfield != kTrailerSubfield && m->subfield != kBlockSubfield)
      fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", process.program_name,
              visible(s.in_name, stderr), len);
  }
  m->named = flags & kOrigName;
  if (flags & kOrigName) {
    if (m->name)
      copy_stored_name(s, m->name);
    else
      skip_string(s);
  }
  if (flags & kComment)
    skip_string(s);
  // Counted from the bytes taken, so that a header longer than one buffer fill is still counted
  // right.
  m->header_bytes = static_cast<uint32_t>(input_consumed(s) - start + 8);
  return 8;
}

int read_gzip_header(StreamState &s, GzipMember *member, bool verbose) {
  uint64_t start = input_consumed(s);
  int id1 = next_input_byte(s);
  int id2 = next_input_byte(s);
  return parse_gzip_header(s, id1, id2, start, member, verbose);
}

// Inflates one raw DEFLATE stream from the input buffer into the inflate window, then gives
// back the read-ahead bytes the stream did not use.
static void inflate_stream(StreamState &s) {
  z_stream z = {};
  use_zlib_workspace(&z, s);
  int ret = inflateInit2(&z, -15);
  if (ret != Z_OK)
    fatal_error(s,
                ret == Z_MEM_ERROR ? "out of memory" : "invalid compressed data--format violated");
  s.out_count = 0;
  for (;;) {
    if (s.in_pos >= s.in_fill) {
      refill_input(s);
      s.in_pos = 0;
    }
    z.next_in = s.inbuf + s.in_pos;
    z.avail_in = s.in_fill - s.in_pos;
    z.next_out = s.window + s.out_count;
    z.avail_out = static_cast<uInt>(kInflateWindowSize - s.out_count);
    ret = inflate(&z, Z_NO_FLUSH);
    // zlib leaves unused input in avail_in, also at the end of the stream.
    s.in_pos = s.in_fill - z.avail_in;
    s.out_count = static_cast<uint32_t>(kInflateWindowSize - z.avail_out);
    if (s.out_count == kInflateWindowSize)
      flush_inflate_window(s);
    if (ret == Z_STREAM_END)
      break;
    if (ret == Z_MEM_ERROR)
      fatal_error(s, "out of memory");
    if (ret != Z_OK && !(ret == Z_BUF_ERROR && z.avail_in == 0))
      fatal_error(s, "invalid compressed data--format violated");
  }
  inflateEnd(&z);
  flush_inflate_window(s);
}

GzipTrailer inflate_member(StreamState &s) {
  crc32_reset(s);
  uint64_t before = s.bytes_out;
  inflate_stream(s);
  GzipTrailer t;
  t.crc = read_long(s);
  t.size = read_long(s);
  if (t.crc != crc32_value(s))
    fatal_error(s, "invalid compressed data--crc error");
  // The builder writes the running total of every member so far; members written one by one by
  // other tools carry their own length. Both are taken modulo 2^32.
  if (t.size != static_cast<uint32_t>(s.bytes_out) &&
      t.size != static_cast<uint32_t>(s.bytes_out - before))
    fatal_error(s, "invalid compressed data--length error");
  return t;
}

// The ISIZE in the 8 bytes before offset `end` of the input file, without moving the input; a
// file too short for one ends the process with the read-error report.
static uint32_t final_isize(StreamState &s, uint64_t end) {
  unsigned char isize[4];
  if (end < 8 || pread(s.in_fd, isize, 4, static_cast<off_t>(end - 4)) != 4) {
    errno = 0; // reported as the end of the file
    read_error_exit(s);
  }
  return little_endian(isize);
}

// The block record of the member at `at`: its length and its data's, or false for a member
// without one. The 24 bytes read are those gzip_writer.cpp writes before a member's name.
static bool block_record_at(int fd, uint64_t at, uint32_t *length, uint32_t *size) {
  unsigned char h[24];
  return pread(fd, h, sizeof h, static_cast<off_t>(at)) == sizeof h && h[0] == 0x1F &&
         h[1] == 0x8B && h[2] == 8 && (h[3] & kExtraField) &&
         block_record(h + 12, h[10] | h[11] << 8, length, size);
}

uint64_t payload_uncompressed_size(StreamState &s, uint64_t begin, uint64_t end) {
  uint64_t total = 0;
  uint32_t length, size;
  for (uint64_t at = begin; at < end; at += length) {
    if (!block_record_at(s.in_fd, at, &length, &size) || length < 32 || length > end - at)
      return final_isize(s, end);
    total += size;
  }
  return total;
}

// The next byte of the payload, -1 at its end. A source that ends right after `first` ends
// with the end-of-file report: a lone 0x1F is a member cut short.
static int byte_after(StreamState &s, int first) {
  int c = try_next_input_byte(s);
  if (c < 0 && first == 0x1F) {
    errno = 0;
    read_error_exit(s);
  }
  return c;
}

void chain_member(PayloadEnd &end, bool named, uint32_t crc, uint64_t size) {
  end.crc = named ? crc : crc32_combine_of(end.crc, crc, size);
}

PayloadEnd inflate_payload(StreamState &s, const GzipMember &first, bool verbose) {
  PayloadEnd end;
  BlockDecoder blocks;
  GzipMember m = first;
  m.named = true; // the payload's first member begins its first input, named or not
  // After a member, bytes that begin with a gzip magic start another member, which must be
  // whole. Any other bytes end the payload and are ignored, as gzip ignores trailing garbage:
  // padding, a signature, or what an archive used as a preamble carried after its payload.
  for (;;) {
    if (block_member_fits(m)) {
      block_member_take(s, blocks, m, end);
    } else {
      block_members_write(s, blocks, end, false);
      uint64_t before = s.bytes_out;
      GzipTrailer t = inflate_member(s);
      chain_member(end, m.named, t.crc, s.bytes_out - before);
    }
    end.consumed = input_consumed(s);
    int id1 = try_next_input_byte(s);
    if (id1 != 0x1F)
      break;
    int id2 = byte_after(s, id1);
    if (id2 != 0x8B && id2 != 0x9E)
      break;
    m = GzipMember{}; // its stored name is not used
    if (parse_gzip_header(s, id1, id2, end.consumed, &m, verbose) < 0)
      abort_exit(); // its message is printed
    if (m.subfield == kTrailerSubfield)
      break; // the archive's trailer: not payload
  }
  block_members_write(s, blocks, end, true);
  return end;
}

} // namespace vardo

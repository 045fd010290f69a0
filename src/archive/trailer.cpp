#include "archive/trailer.h"

#include <cstdio>
#include <cstring>

#include "gzstream/gzip_reader.h"

namespace vardo {

// The trailer, byte by byte (numbers little-endian; S the signature's length, T = 78 + S):
//
//   offset  size  field
//   0       2     1F 8B: a gzip member...
//   2       1     CM 8: deflate
//   3       1     FLG 04: an extra field (FEXTRA), nothing else
//   4       4     MTIME 0
//   8       1     XFL 0
//   9       1     OS 3: Unix
//   10      2     XLEN: T - 22
//   12      2     SI1 SI2 'V' 'D': the one subfield of the extra field...
//   14      2     LEN: T - 26
//   16      1     ...holding the trailer's version, 1
//   17      8     the archive's length up to the trailer (offset 0 of the trailer)
//   25      32    the SHA-256 of those bytes: preamble, magic, header strings and payload
//   57      2     S, 0 when the archive is not signed
//   59      1     0A: a newline, so that the signature's first line stands on a line of its own
//   60      S     the signature as ssh-keygen -Y sign writes it
//   60+S    4     T, found 18 bytes before the end of the file...
//   64+S    4     "VDTR", which marks it
//   68+S    2     03 00: the member's DEFLATE data, an empty final block with fixed codes
//   70+S    4     CRC32 0, of no bytes
//   74+S    4     ISIZE 0
namespace {

constexpr unsigned char kTrailerMark[4] = {'V', 'D', 'T', 'R'};
constexpr int kTrailerVersion = 1;
constexpr size_t kTailSize = 18; // from T to the end

unsigned char *put_le(unsigned char *p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    *p++ = static_cast<unsigned char>(v >> (8 * i));
  return p;
}

uint64_t get_le(const unsigned char *p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = v << 8 | p[i];
  return v;
}

} // namespace

size_t trailer_size(const Trailer &t) { return kTrailerFixedSize + t.signature_size; }

size_t format_trailer(const Trailer &t, unsigned char out[kTrailerLimit]) {
  static const unsigned char kMember[10] = {0x1F, 0x8B, 8, 4, 0, 0, 0, 0, 0, 3};
  size_t total = trailer_size(t);
  unsigned char *p = out;
  memcpy(p, kMember, sizeof kMember);
  p = put_le(p + sizeof kMember, total - 22, 2);
  *p++ = kTrailerSubfield >> 8;
  *p++ = kTrailerSubfield & 0xFF;
  p = put_le(p, total - 26, 2);
  *p++ = kTrailerVersion;
  p = put_le(p, t.length, 8);
  memcpy(p, t.digest, kSha256Size);
  p = put_le(p + kSha256Size, t.signature_size, 2);
  *p++ = '\n';
  memcpy(p, t.signature, t.signature_size);
  p = put_le(p + t.signature_size, total, 4);
  memcpy(p, kTrailerMark, sizeof kTrailerMark);
  p += sizeof kTrailerMark;
  *p++ = 3;
  memset(p, 0, 9); // the DEFLATE block's second byte, CRC32 and ISIZE
  return total;
}

long parse_trailer(const unsigned char *end, size_t n, Trailer *t) {
  if (n < kTailSize)
    return -1;
  const unsigned char *tail = end + n - kTailSize;
  uint64_t total = get_le(tail, 4);
  if (memcmp(tail + 4, kTrailerMark, sizeof kTrailerMark) != 0 || total < kTrailerFixedSize ||
      total > kTrailerLimit || total > n)
    return -1;
  // The fields are read where they stand, then the trailer is written again from them: only
  // bytes exactly as format_trailer writes them pass.
  const unsigned char *start = end + n - total;
  t->signature_size = total - kTrailerFixedSize;
  t->length = get_le(start + 17, 8);
  memcpy(t->digest, start + 25, kSha256Size);
  memcpy(t->signature, start + 60, t->signature_size);
  unsigned char again[kTrailerLimit];
  format_trailer(*t, again);
  return memcmp(again, start, total) == 0 ? static_cast<long>(total) : -1;
}

void format_digest_hex(const unsigned char digest[kSha256Size], char out[kSha256HexSize]) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < kSha256Size; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 15];
  }
  out[2 * kSha256Size] = '\0';
}

size_t format_signed_text(const Trailer &t, char out[kSignedTextSize]) {
  char hex[kSha256HexSize];
  format_digest_hex(t.digest, hex);
  int n = snprintf(out, kSignedTextSize, "vardo archive 1\nlength %llu\nsha256 %s\n",
                   static_cast<unsigned long long>(t.length), hex);
  return static_cast<size_t>(n);
}

} // namespace vardo

// zlib's two checksum functions, given by the tool's own code in the executable. The streams are
// raw DEFLATE (window bits -15), so zlib never computes a checksum of its own; but deflate and
// inflate refer to crc32 and adler32 for their other wrappers, and a static link would otherwise
// put zlib's table-driven versions (about 15 KB) into the preamble of every archive. Both give
// zlib's values, should they ever be called. The tests and benchmarks link zlib's own, which they
// compare ours with.
#include <zlib.h>

#include "gzstream/crc32.h"

extern "C" {

uLong crc32(uLong crc, const Bytef *buf, uInt len) {
  return buf ? vardo::crc32_of(static_cast<uint32_t>(crc), buf, len) : 0;
}

// RFC 1950: two sums modulo 65521, reduced often enough that they never overflow 32 bits.
uLong adler32(uLong adler, const Bytef *buf, uInt len) {
  constexpr uLong kBase = 65521, kRun = 5552;
  if (!buf)
    return 1;
  uLong a = adler & 0xFFFF, b = adler >> 16;
  while (len > 0) {
    uInt n = len < kRun ? len : kRun;
    len -= n;
    while (n--) {
      a += *buf++;
      b += a;
    }
    a %= kBase;
    b %= kBase;
  }
  return b << 16 | a;
}

} // extern "C"

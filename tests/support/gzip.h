// An independent gzip reader for checking what we write: zlib's own gzip mode.
#pragma once
#include <string>

namespace vardo::test {

struct GzipMember {
  bool ok = false;     // the member decoded and zlib verified its CRC and ISIZE
  std::string data;    // the uncompressed bytes
  size_t consumed = 0; // bytes of the input the member took, trailer included
};

// Decodes the gzip member at the start of `bytes` with inflateInit2(16 + 15).
GzipMember zlib_gunzip(const std::string &bytes);

// Writes one gzip member with zlib's gzip mode (deflateInit2 with 16 + 15 window bits).
std::string zlib_gzip(const std::string &data);

} // namespace vardo::test

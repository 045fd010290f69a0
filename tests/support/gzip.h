// An independent gzip reader for checking what we write: zlib's own gzip mode.
#pragma once
#include <cstdint>
#include <string>

namespace vardo::test {

struct GzipMember {
  bool ok = false;     // the member decoded and zlib verified its CRC and ISIZE
  std::string data;    // the uncompressed bytes
  size_t consumed = 0; // bytes of the input the member took, trailer included
};

// Decodes the gzip member at the start of `bytes` with inflateInit2(16 + 15).
GzipMember zlib_gunzip(const std::string &bytes);

// What the system's gzip makes of `bytes`: whether `gzip -t` passes them and what `gzip -dc`
// gives. A second independent reader next to zlib's.
struct SystemGunzip {
  bool ok = false;
  std::string data;
};
SystemGunzip system_gunzip(const std::string &bytes);

// Writes one gzip member with zlib's gzip mode (deflateInit2 with 16 + 15 window bits).
std::string zlib_gzip(const std::string &data);

// A gzip member around `data` with the stored name `name` (FLG 0x08; no name when it is null)
// and MTIME, written by hand around zlib's raw DEFLATE stream.
std::string gzip_member(const std::string &data, const char *name, uint32_t mtime = 0);

// A raw DEFLATE stream (no wrapper) of `data`, from zlib at level 9.
std::string raw_deflate(const std::string &data);

// `v` as 4 bytes, least significant first.
std::string le32(uint32_t v);

// The CRC-32 of `data`, from zlib.
uint32_t zlib_crc(const std::string &data);

} // namespace vardo::test

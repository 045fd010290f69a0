#include "support/gzip.h"

#include <zlib.h>

#include "support/process.h"

namespace vardo::test {

GzipMember zlib_gunzip(const std::string &bytes) {
  GzipMember m;
  z_stream z = {};
  if (inflateInit2(&z, 16 + 15) != Z_OK)
    return m;
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  char buf[65536];
  int ret;
  do {
    z.next_out = reinterpret_cast<Bytef *>(buf);
    z.avail_out = sizeof buf;
    ret = inflate(&z, Z_NO_FLUSH);
    m.data.append(buf, sizeof buf - z.avail_out);
  } while (ret == Z_OK);
  m.ok = ret == Z_STREAM_END;
  m.consumed = bytes.size() - z.avail_in;
  inflateEnd(&z);
  return m;
}

SystemGunzip system_gunzip(const std::string &bytes) {
  TempDir dir;
  std::string path = dir / "member.gz";
  write_file(path, bytes);
  SystemGunzip g;
  RunResult unpacked = run({"gzip", "-dc", path});
  g.ok = run({"gzip", "-t", path}).status == 0 && unpacked.status == 0;
  g.data = unpacked.out;
  return g;
}

static std::string deflate_with(const std::string &data, int window_bits) {
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[65536];
  int ret;
  do {
    z.next_out = reinterpret_cast<Bytef *>(buf);
    z.avail_out = sizeof buf;
    ret = deflate(&z, Z_FINISH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (ret == Z_OK);
  deflateEnd(&z);
  return out;
}

std::string zlib_gzip(const std::string &data) { return deflate_with(data, 16 + 15); }

std::string raw_deflate(const std::string &data) { return deflate_with(data, -15); }

std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

uint32_t zlib_crc(const std::string &data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

std::string gzip_member(const std::string &data, const char *name, uint32_t mtime) {
  std::string m =
      std::string("\x1f\x8b\x08", 3) + (name ? '\x08' : '\0') + le32(mtime) + "\x02\x03";
  if (name)
    m += std::string(name) + '\0';
  return m + raw_deflate(data) + le32(zlib_crc(data)) + le32(static_cast<uint32_t>(data.size()));
}

} // namespace vardo::test

#include "support/gzip.h"

#include <zlib.h>

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

std::string zlib_gzip(const std::string &data) {
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY);
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

} // namespace vardo::test

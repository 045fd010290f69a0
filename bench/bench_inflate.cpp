// Inflating a 64 MiB gzip member into /dev/null: inflate_member (32768-byte window writes, CRC
// and length checks) next to zlib's own gzip-mode inflate of the same member in one process.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/gzip_reader.h"
#include "gzstream/stream.h"

namespace {

constexpr size_t kSize = 64u << 20;

// Text-like input: words from a small vocabulary with random numbers mixed in.
std::string make_input() {
  static const char *words[] = {"archive ", "payload ", "install ", "gzip ",  "member\n",
                                "header ",  "the ",     "of ",      "bytes ", "stream\n"};
  std::mt19937 gen(7);
  std::string s;
  s.reserve(kSize);
  while (s.size() < kSize) {
    s += words[gen() % 10];
    if (gen() % 4 == 0)
      s += std::to_string(gen() % 100000) + " ";
  }
  s.resize(kSize);
  return s;
}

// Writes the member to a temporary file once and returns its path.
const char *member_path() {
  static std::string path;
  if (!path.empty())
    return path.c_str();
  std::string data = make_input();
  path = "/tmp/vardo-bench-inflate.gz";
  gzFile f = gzopen(path.c_str(), "wb9");
  gzwrite(f, data.data(), static_cast<unsigned>(data.size()));
  gzclose(f);
  return path.c_str();
}

void BM_InflateMember(benchmark::State &state) {
  const char *path = member_path();
  int null_fd = open("/dev/null", O_WRONLY);
  static vardo::StreamState s;
  for (auto _ : state) {
    vardo::reset_stream(s);
    s.in_fd = open(path, O_RDONLY);
    s.out_fd = null_fd;
    snprintf(s.in_name, sizeof s.in_name, "%s", path);
    vardo::GzipMember member;
    if (vardo::read_gzip_header(s, &member, false) != 8)
      abort();
    vardo::inflate_member(s);
    close(s.in_fd);
  }
  close(null_fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_ZlibGzipInflate(benchmark::State &state) {
  const char *path = member_path();
  int null_fd = open("/dev/null", O_WRONLY);
  static unsigned char in[8192], out[32768];
  for (auto _ : state) {
    int fd = open(path, O_RDONLY);
    z_stream z = {};
    inflateInit2(&z, 16 + 15);
    int ret = Z_OK;
    while (ret != Z_STREAM_END) {
      if (z.avail_in == 0) {
        z.avail_in = static_cast<uInt>(read(fd, in, sizeof in));
        z.next_in = in;
      }
      z.next_out = out;
      z.avail_out = sizeof out;
      ret = inflate(&z, Z_NO_FLUSH);
      if (ret != Z_OK && ret != Z_STREAM_END)
        abort();
      if (write(null_fd, out, sizeof out - z.avail_out) < 0)
        abort();
    }
    inflateEnd(&z);
    close(fd);
  }
  close(null_fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_InflateMember)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ZlibGzipInflate)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

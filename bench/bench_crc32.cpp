// CRC-32 throughput: the stream layer's slicing-by-8 table CRC next to zlib's crc32 on the same
// buffer.
#include <benchmark/benchmark.h>
#include <random>
#include <vector>
#include <zlib.h>

#include "gzstream/crc32.h"

namespace {

std::vector<unsigned char> make_buffer(size_t n) {
  std::vector<unsigned char> buf(n);
  std::mt19937 gen(42);
  for (auto &b : buf)
    b = static_cast<unsigned char>(gen());
  return buf;
}

void BM_VardoCrc32(benchmark::State &state) {
  auto buf = make_buffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    vardo::crc32_update(nullptr, 0);
    benchmark::DoNotOptimize(vardo::crc32_update(buf.data(), buf.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibCrc32(benchmark::State &state) {
  auto buf = make_buffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0, buf.data(), static_cast<uInt>(buf.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_VardoCrc32)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(32768)->Arg(1 << 20);

} // namespace

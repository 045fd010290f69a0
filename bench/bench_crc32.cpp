// CRC-32 throughput on the same buffers in one run: the stream layer's CRC folding 512 and 128
// bits at a time by carry-less multiplication, its table-driven slicing-by-16 fallback, and
// zlib's crc32.
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

// The register the stream layer's CRC runs through.
vardo::StreamState register_state;

void BM_VardoCrc32(benchmark::State &state, int width) {
  auto buf = make_buffer(static_cast<size_t>(state.range(0)));
  if (vardo::crc32_limit_width(width) != width) {
    state.SkipWithError("this processor cannot fold that wide");
    return;
  }
  for (auto _ : state) {
    vardo::crc32_reset(register_state);
    benchmark::DoNotOptimize(vardo::crc32_update(register_state, buf.data(), buf.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  vardo::crc32_limit_width(512);
}

void BM_ZlibCrc32(benchmark::State &state) {
  auto buf = make_buffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0, buf.data(), static_cast<uInt>(buf.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_CAPTURE(BM_VardoCrc32, fold512, 512)->Arg(32768)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_VardoCrc32, fold128, 128)->Arg(32768)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_VardoCrc32, table, 0)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(32768)->Arg(1 << 20);

} // namespace

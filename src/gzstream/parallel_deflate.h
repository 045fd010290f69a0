// The DEFLATE stream of a gzip member, compressed on every processor the process may run on, in
// bytes that depend on the input alone.
#pragma once
#include <cstddef>

#include "gzstream/stream.h"

namespace vardo {

// The input is compressed in blocks of this size, each by whichever worker is free.
constexpr size_t kDeflateBlockSize = 128 * 1024;
// At most this many workers compress, whatever the processors: memory grows by about 1 MiB with
// each.
constexpr int kMaxDeflateWorkers = 64;

// Compresses everything readable from the input of `s`, through read_source, into one raw
// DEFLATE stream appended to its output buffer. A block that zlib cannot compress, or a worker
// that is lost, takes the abort path.
void deflate_input(StreamState &s);

// The number of compressing workers: the processors this process may run on (its affinity mask),
// at most kMaxDeflateWorkers. With one, the calling process compresses.
int deflate_workers();

// For tests: compress with `n` workers from now on, whatever the processors; 0 goes back to the
// processors.
void set_deflate_workers(int n);

} // namespace vardo

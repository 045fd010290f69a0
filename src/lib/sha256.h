// SHA-256 (FIPS 180-4), fed in pieces. The blocks are compressed with the processor's SHA
// instructions where it has them (x86-64 SHA extensions, AArch64 SHA2; chosen once, on first use)
// and by portable code otherwise.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

constexpr int kSha256Size = 32;

// A hash in progress, owned by the caller.
struct Sha256State {
  uint32_t h[8];
  uint64_t length; // bytes fed so far
  unsigned char block[64];
};

// Starts the hash of a new message...
void sha256_init(Sha256State &s);
// ...feeds it `len` more bytes...
void sha256_update(Sha256State &s, const void *data, size_t len);
// ...and writes its digest to `out`. The state must be initialized again before further use.
void sha256_final(Sha256State &s, unsigned char out[kSha256Size]);

// Lets the compression use the processor's instructions (`allow`) or the portable code alone.
// Returns whether the instructions are now in use, which they are not where the processor lacks
// them. For tests and benchmarks.
bool sha256_use_instructions(bool allow);

} // namespace vardo

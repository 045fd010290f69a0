// SHA-512 (FIPS 180-4), fed in pieces, by portable code: Ed25519 hashes only short messages.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

constexpr int kSha512Size = 64;

// A hash in progress, owned by the caller.
struct Sha512State {
  uint64_t h[8];
  uint64_t length; // bytes fed so far
  unsigned char block[128];
};

// Starts the hash of a new message...
void sha512_init(Sha512State &s);
// ...feeds it `len` more bytes...
void sha512_update(Sha512State &s, const void *data, size_t len);
// ...and writes its digest to `out`. The state must be initialized again before further use.
void sha512_final(Sha512State &s, unsigned char out[kSha512Size]);

} // namespace vardo

// Ed25519 signature verification (RFC 8032, 5.1.7). Only public data passes through it, so it
// is written small rather than constant-time.
#pragma once
#include <cstddef>

namespace vardo {

constexpr int kEd25519KeySize = 32;
constexpr int kEd25519SignatureSize = 64;

// Whether `signature` (R || S) is a signature of `message` by `public_key`: [S]B == R + [k]A
// with k = SHA-512(R || A || message) mod L, compared as encodings (without the cofactor).
// Refused: S >= L; an A or R that ed25519_key_valid refuses.
bool ed25519_verify(const unsigned char signature[kEd25519SignatureSize],
                    const unsigned char public_key[kEd25519KeySize], const void *message,
                    size_t len);

// Whether the 32 bytes encode a point as ed25519_verify wants A and R: y below p, a point of the
// curve (y has an x), not x = 0 with the sign bit set, and not of small order ([8]P is not the
// identity).
bool ed25519_key_valid(const unsigned char public_key[kEd25519KeySize]);

} // namespace vardo

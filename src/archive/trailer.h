// The trailer that ends every archive the tool builds: a last, empty gzip member whose extra
// field records the archive's length up to the trailer, the SHA-256 of those bytes and, when the
// archive is signed, an OpenSSH signature of a short text naming both. Every gzip reader skips an
// extra field and inflates an empty member to nothing, so the payload reads as before; a reader
// finds the trailer from the end of the file, without reading the payload.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/sha256.h"

namespace vardo {

// The feature item of an archive that ends with a trailer: without it, a file cut exactly where
// its trailer began would pass for an archive that never had one.
inline constexpr char kTrailerItem[] = "VARDO_TRAILER";

// The longest signature text taken: an Ed25519 signature, as ssh-keygen writes it, takes under
// 300 bytes.
constexpr size_t kSignatureLimit = 1024;
// The trailer's bytes without the signature, and at most.
constexpr size_t kTrailerFixedSize = 78;
constexpr size_t kTrailerLimit = kTrailerFixedSize + kSignatureLimit;

struct Trailer {
  uint64_t length = 0; // the archive's bytes before the trailer
  unsigned char digest[kSha256Size] = {};
  size_t signature_size = 0; // 0: not signed
  char signature[kSignatureLimit] = {};
};

// The trailer's length in bytes.
size_t trailer_size(const Trailer &t);

// Writes the trailer's bytes to `out`; returns their count.
size_t format_trailer(const Trailer &t, unsigned char out[kTrailerLimit]);

// Reads the trailer that ends the `n` bytes at `end`, the last bytes of a file. Returns its
// length, or -1 when those bytes do not end with a trailer as format_trailer writes one.
long parse_trailer(const unsigned char *end, size_t n, Trailer *t);

// Writes the digest in lower-case hexadecimal, as sha256sum does, and its NUL.
constexpr int kSha256HexSize = 2 * kSha256Size + 1;
void format_digest_hex(const unsigned char digest[kSha256Size], char out[kSha256HexSize]);

// The text a signature signs: "vardo archive 1", the length and the digest in hexadecimal, each on
// a line of its own, so that anyone can write it again from what sha256sum prints.
constexpr size_t kSignedTextSize = 128;
size_t format_signed_text(const Trailer &t, char out[kSignedTextSize]);

} // namespace vardo

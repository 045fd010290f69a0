// The digest of an archive read once from its start, as a pipe is read: every byte read goes
// through the tap, which hashes all but the last kTapHold at once and holds those back until the
// end of the file shows how many of them are the trailer, which the digest does not cover.
#pragma once
#include <cstddef>
#include <cstdint>

#include "gzstream/stream.h"
#include "lib/sha256.h"

namespace vardo {

// Bytes held back: at least the longest trailer.
constexpr size_t kTapHold = 1280;

struct DigestTap {
  Sha256State sha;
  unsigned char held[kTapHold];
  size_t held_size = 0;
  // A raw payload's bytes leave for this stream's output only as they leave the hold: its
  // trailer, the last bytes of the file, is never written out.
  StreamState *release = nullptr;
};

// Starts the tap, on the state of a digest already fed with the bytes before those it will see.
void tap_start(DigestTap &t, const Sha256State &from);
// Takes `len` more bytes.
void tap_feed(DigestTap &t, const void *data, size_t len);
// Hashes the bytes held so far, all of which come before the payload: a raw payload's bytes are
// released to its output from here on.
void tap_pass_held(DigestTap &t);
// Bytes taken since the start of the archive.
uint64_t tap_bytes(const DigestTap &t);
// Hashes the held bytes but the last `tail` (the trailer) and writes the digest to `out`.
void tap_finish(DigestTap &t, size_t tail, unsigned char out[kSha256Size]);

} // namespace vardo

#include "gzstream/tap.h"

#include <algorithm>
#include <cstring>

namespace vardo {

// Bytes that leave the hold: hashed, and written out for a raw payload.
static void release(DigestTap &t, const unsigned char *p, size_t len) {
  sha256_update(t.sha, p, len);
  if (t.release && len) {
    write_all(*t.release, p, len);
    t.release->bytes_out += len;
  }
}

void tap_start(DigestTap &t, const Sha256State &from) {
  t.sha = from;
  t.held_size = 0;
}

void tap_feed(DigestTap &t, const void *data, size_t len) {
  auto *p = static_cast<const unsigned char *>(data);
  size_t over = t.held_size + len > kTapHold ? t.held_size + len - kTapHold : 0;
  // The oldest held bytes leave first, then the oldest of the new ones.
  size_t from_held = std::min(over, t.held_size);
  release(t, t.held, from_held);
  memmove(t.held, t.held + from_held, t.held_size - from_held);
  t.held_size -= from_held;
  release(t, p, over - from_held);
  p += over - from_held;
  len -= over - from_held;
  memcpy(t.held + t.held_size, p, len);
  t.held_size += len;
}

void tap_pass_held(DigestTap &t) {
  sha256_update(t.sha, t.held, t.held_size);
  t.held_size = 0;
}

uint64_t tap_bytes(const DigestTap &t) { return t.sha.length + t.held_size; }

void tap_finish(DigestTap &t, size_t tail, unsigned char out[kSha256Size]) {
  release(t, t.held, t.held_size - std::min(tail, t.held_size));
  t.held_size = 0;
  sha256_final(t.sha, out);
}

} // namespace vardo

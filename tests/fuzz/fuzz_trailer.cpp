// The trailer at the end of an archive: the input is taken as the last bytes of a file, read at
// once and through the tap that holds back the end of a pipe, in pieces the input's first byte
// sizes. Both readings must agree, a trailer read must be written back to the very bytes it was
// read from, and its signature is checked over its signed text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/trailer.h"
#include "gzstream/tap.h"
#include "lib/sshsig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static vardo::Trailer t, held;
  long read = vardo::parse_trailer(data, size, &t);
  static vardo::DigestTap tap;
  vardo::Sha256State none;
  vardo::sha256_init(none);
  vardo::tap_start(tap, none);
  size_t piece = size ? data[0] % 64 + 1 : 1;
  for (size_t at = 0; at < size; at += piece)
    vardo::tap_feed(tap, data + at, size - at < piece ? size - at : piece);
  if (vardo::parse_trailer(tap.held, tap.held_size, &held) != read)
    abort();
  if (read < 0)
    return 0;
  unsigned char again[vardo::kTrailerLimit];
  if (vardo::format_trailer(t, again) != static_cast<size_t>(read) ||
      memcmp(again, data + size - read, static_cast<size_t>(read)) != 0 ||
      vardo::tap_bytes(tap) != size)
    abort();
  char text[vardo::kSignedTextSize];
  size_t len = vardo::format_signed_text(t, text);
  unsigned char key[vardo::kEd25519KeySize];
  const char *reason = nullptr;
  if (vardo::sshsig_verify(t.signature, t.signature_size, "vardo", text, len, key, &reason) < 0 &&
      !reason)
    abort();
  return 0;
}

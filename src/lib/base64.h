// Base64 (RFC 4648, 4), in which OpenSSH writes keys, signatures and fingerprints.
#pragma once
#include <cstddef>

namespace vardo {

// Decodes the `len` characters of `text` into `out`, which has room for `size` bytes. The text
// must be padded with "=" to a multiple of four characters, as OpenSSH requires. Refused with -1:
// a text without its padding, any other character outside the alphabet (white space included),
// bits left over that are not zero, and bytes that would not fit. Returns the number of bytes.
int base64_decode(const char *text, size_t len, unsigned char *out, size_t size);

// Writes the base64 of `len` bytes without padding to `out`, which has room for
// (4 * len + 2) / 3 characters and a NUL, as ssh-keygen writes fingerprints.
void base64_encode_unpadded(const unsigned char *data, size_t len, char *out);

} // namespace vardo

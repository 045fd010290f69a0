// OpenSSH public keys, Ed25519 only: the wire encoding of a key (RFC 4253, 6.6; RFC 8709), a key
// line as in id_ed25519.pub, an allowed_signers file (ssh-keygen(1), ALLOWED SIGNERS) and the
// fingerprint ssh-keygen -l shows. Every function takes hostile input: lengths are checked and
// fixed buffers refuse what does not fit. Failures return -1 and point `*reason` at a short
// static text for the caller to print; nothing is printed here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/ed25519.h"

namespace vardo {

// Points `*reason` at `text` and returns -1.
int ssh_refuse(const char **reason, const char *text);

// Bytes of the SSH wire encoding being read: `p` the next one, `left` how many remain.
struct SshReader {
  const unsigned char *p;
  size_t left;
};

// Reads a big-endian uint32. Returns false, reading nothing, when fewer than four bytes remain.
bool ssh_read_u32(SshReader &r, uint32_t &value);

// Reads a string (a uint32 length and that many bytes, left in place at `data`). Returns false,
// reading nothing, when the bytes run out.
bool ssh_read_string(SshReader &r, const unsigned char *&data, size_t &len);

// Whether the `len` bytes at `data` are `text`.
bool ssh_bytes_are(const void *data, size_t len, const char *text);

// Reads an Ed25519 key blob: string "ssh-ed25519", string of 32 key bytes, nothing after; the
// key must pass ed25519_key_valid.
int ssh_key_from_blob(const unsigned char *blob, size_t len, unsigned char key[kEd25519KeySize],
                      const char **reason);

// "SHA256:" and 43 base64 characters.
constexpr int kSshFingerprintSize = 51;

// Writes the fingerprint of the key as `ssh-keygen -l` shows it: "SHA256:" and the unpadded
// base64 of the SHA-256 of the key blob.
void ssh_key_fingerprint(const unsigned char key[kEd25519KeySize], char out[kSshFingerprintSize]);

// Reads a public key line, "ssh-ed25519 BASE64 [comment]", of `len` bytes.
int ssh_key_parse(const char *line, size_t len, unsigned char key[kEd25519KeySize],
                  const char **reason);

// Looks for `key` among the trusted keys of `text` (`len` bytes): lines of a public key file,
// "ssh-ed25519 BASE64 [comment]", or of an allowed_signers file, "principals [options]
// ssh-ed25519 BASE64 [comment]"; blank lines and lines starting with '#' are passed over, and so
// are lines of other key types. A line that names the key trusts it for the namespace `ns`
// unless its options say otherwise: namespaces="a,b" must name `ns` exactly; cert-authority and
// every other option (valid-after, valid-before...) make the line refused, as they are not
// supported. On the first line that trusts the key, copies its principals (the field as written,
// less enclosing double quotes; empty for a public key line) to `principals` of `size` bytes and
// returns 0. A malformed Ed25519 line fails the whole search.
int ssh_find_signer(const char *text, size_t len, const unsigned char key[kEd25519KeySize],
                    const char *ns, char *principals, size_t size, const char **reason);

} // namespace vardo

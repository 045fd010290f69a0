// OpenSSH signatures (PROTOCOL.sshsig) as `ssh-keygen -Y sign` writes them, verified with Ed25519
// keys only. The text is hostile input: every length is checked, and truncated, over-long and
// trailing fields are refused, in fixed buffers.
#pragma once
#include <cstddef>

#include "lib/ed25519.h"

namespace vardo {

// The largest signature blob taken: room for the blob of an RSA key of 8192 bits, so that such a
// signature is refused for its key type rather than its size.
constexpr size_t kSshsigMaxBlob = 4096;

// Checks that `text` (`len` bytes) is an armored SSH signature of `message` in namespace `ns`:
// "-----BEGIN SSH SIGNATURE-----", lines of base64 and "-----END SSH SIGNATURE-----" (each line
// ended by "\n" or "\r\n", the last one's end optional), holding the blob "SSHSIG", version 1, an
// Ed25519 public key, the namespace, a reserved string, the hash "sha512" or "sha256" and an
// Ed25519 signature of the signed data. Returns 0 with the signing key in `signer`, or -1 with
// `*reason` pointing at a short static text; prints nothing.
int sshsig_verify(const char *text, size_t len, const char *ns, const void *message,
                  size_t message_len, unsigned char signer[kEd25519KeySize], const char **reason);

} // namespace vardo

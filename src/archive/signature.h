// Signatures of archives with OpenSSH Ed25519 keys: made by ssh-keygen -Y sign (the tool never
// reads a private key), verified by the installed tool against a public key line or an
// allowed_signers file, in namespace "vardo", over the text that names the archive's length and
// digest (archive/trailer.h).
#pragma once
#include "archive/trailer.h"
#include "lib/sshkey.h"
#include "lib/text.h"

namespace vardo {

// Refuses, before anything is written, a signing key that ssh-keygen cannot be run on, cannot
// read or does not call an Ed25519 key (`ssh-keygen -l -f KEY`). Returns 0, or -1 after a message.
int check_signing_key(const char *key);

// Signs the text of `t` with `key` through `ssh-keygen -Y sign -n vardo -f KEY`, whose signature
// goes into `t` once it checks as an Ed25519 signature of that text. Returns 0, or -1 after a
// message.
int sign_trailer(Trailer &t, const char *key);

// Who signed an archive.
struct Signer {
  char fingerprint[kSshFingerprintSize] = {}; // as ssh-keygen -l shows it
  char principals[kTextBufferSize] = {};      // as allowed_signers names them; "" for a key line
};

// Verifies the signature of the trailer `t` of the archive `path` against the trusted keys in the
// file `keys`. Returns 0 with `who` filled in, or -1 after a message.
int verify_signature(const Trailer &t, const char *keys, const char *path, Signer *who);

} // namespace vardo

#include "lib/sshsig.h"

#include <cstdint>
#include <cstring>

#include "lib/base64.h"
#include "lib/sha256.h"
#include "lib/sha512.h"
#include "lib/sshkey.h"

namespace vardo {

namespace {

constexpr char kMagic[] = "SSHSIG";
constexpr size_t kMagicSize = sizeof kMagic - 1;

// Joins the base64 lines between the armor lines and decodes them into `blob` of `size` bytes.
// Returns the blob's length, or -1.
int dearmor(const char *text, size_t len, unsigned char *blob, size_t size, const char **reason) {
  char base64[(kSshsigMaxBlob + 2) / 3 * 4];
  size_t n = 0;
  int lines = 0;
  bool ended = false;
  for (const char *line = text, *end = text + len; line < end; ++lines) {
    auto eol = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    const char *stop = eol ? eol : end;
    size_t line_len = static_cast<size_t>(stop - line); // a CR is no line end: ssh-keygen refuses
    if (ended)
      return ssh_refuse(reason, "text after the end of the SSH signature");
    if (!lines && !ssh_bytes_are(line, line_len, "-----BEGIN SSH SIGNATURE-----"))
      return ssh_refuse(reason, "not an armored SSH signature");
    ended = lines && ssh_bytes_are(line, line_len, "-----END SSH SIGNATURE-----");
    if (lines && !ended) {
      if (line_len > sizeof base64 - n)
        return ssh_refuse(reason, "the SSH signature is too long");
      memcpy(base64 + n, line, line_len);
      n += line_len;
    }
    line = eol ? eol + 1 : end;
  }
  if (!ended)
    return ssh_refuse(reason,
                      lines ? "the SSH signature has no end line" : "not an armored SSH signature");
  int blob_len = base64_decode(base64, n, blob, size);
  if (blob_len < 0)
    *reason = "the SSH signature is not valid base64";
  return blob_len;
}

// A string of the blob.
struct Bytes {
  const unsigned char *p;
  size_t len;
};

bool read(SshReader &r, Bytes &b) { return ssh_read_string(r, b.p, b.len); }

bool is(const Bytes &b, const char *text) { return ssh_bytes_are(b.p, b.len, text); }

// Reads the string of an Ed25519 signature: string "ssh-ed25519", string of 64 bytes.
int read_signature(const Bytes &b, const unsigned char *&signature, const char **reason) {
  SshReader r = {b.p, b.len};
  Bytes type, bytes;
  if (!read(r, type) || !is(type, "ssh-ed25519"))
    return ssh_refuse(reason, "only Ed25519 signatures are taken");
  if (!read(r, bytes) || bytes.len != kEd25519SignatureSize || r.left)
    return ssh_refuse(reason, "malformed Ed25519 signature");
  signature = bytes.p;
  return 0;
}

// H(message) by the signature's hash; returns its length.
size_t digest_of(bool sha512, const void *message, size_t len, unsigned char *out) {
  if (sha512) {
    Sha512State s;
    sha512_init(s);
    sha512_update(s, message, len);
    sha512_final(s, out);
    return kSha512Size;
  }
  Sha256State s;
  sha256_init(s);
  sha256_update(s, message, len);
  sha256_final(s, out);
  return kSha256Size;
}

} // namespace

int sshsig_verify(const char *text, size_t len, const char *ns, const void *message,
                  size_t message_len, unsigned char signer[kEd25519KeySize], const char **reason) {
  unsigned char blob[kSshsigMaxBlob];
  int blob_len = dearmor(text, len, blob, sizeof blob, reason);
  if (blob_len < 0)
    return -1;
  if (static_cast<size_t>(blob_len) < kMagicSize || memcmp(blob, kMagic, kMagicSize) != 0)
    return ssh_refuse(reason, "not an SSH signature");
  SshReader r = {blob + kMagicSize, static_cast<size_t>(blob_len) - kMagicSize};
  uint32_t version;
  if (!ssh_read_u32(r, version) || version != 1)
    return ssh_refuse(reason, "unsupported SSH signature version");
  Bytes key, name, reserved, hash, signature;
  unsigned char key_bytes[kEd25519KeySize];
  if (!read(r, key))
    return ssh_refuse(reason, "truncated SSH signature");
  if (ssh_key_from_blob(key.p, key.len, key_bytes, reason) < 0)
    return -1;
  // The namespace, the reserved string and the hash's name are signed as they stand in the blob;
  // ssh-keygen signs and verifies an empty reserved string only.
  const unsigned char *signed_fields = r.p;
  if (!read(r, name) || !read(r, reserved) || !read(r, hash) || !read(r, signature))
    return ssh_refuse(reason, "truncated SSH signature");
  if (r.left)
    return ssh_refuse(reason, "the SSH signature has trailing bytes");
  if (!is(name, ns))
    return ssh_refuse(reason, "the signature was made for another namespace");
  if (reserved.len)
    return ssh_refuse(reason, "the SSH signature's reserved field is not empty");
  if (!is(hash, "sha512") && !is(hash, "sha256"))
    return ssh_refuse(reason, "unsupported hash algorithm in the SSH signature");
  const unsigned char *ed25519_signature = nullptr;
  if (read_signature(signature, ed25519_signature, reason) < 0)
    return -1;
  // The signed data: "SSHSIG", the signed fields and string H(message).
  size_t signed_len = static_cast<size_t>(hash.p + hash.len - signed_fields);
  unsigned char data[kMagicSize + kSshsigMaxBlob + 4 + kSha512Size] = {'S', 'S', 'H',
                                                                       'S', 'I', 'G'};
  memcpy(data + kMagicSize, signed_fields, signed_len);
  unsigned char *digest = data + kMagicSize + signed_len;
  size_t digest_len = digest_of(is(hash, "sha512"), message, message_len, digest + 4);
  memset(digest, 0, 3);
  digest[3] = static_cast<unsigned char>(digest_len);
  if (!ed25519_verify(ed25519_signature, key_bytes, data, kMagicSize + signed_len + 4 + digest_len))
    return ssh_refuse(reason, "the SSH signature does not verify");
  memcpy(signer, key_bytes, kEd25519KeySize);
  return 0;
}

} // namespace vardo

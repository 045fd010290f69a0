// Helpers for the tests of the hashes, Ed25519 and the OpenSSH formats: hex, base64 and the SSH
// wire encoding written independently of the code under test, and the independent tools.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vardo::test {

std::string unhex(const std::string &hex);
std::string hex(const void *data, size_t len);
inline std::string hex(const std::string &bytes) { return hex(bytes.data(), bytes.size()); }
inline const unsigned char *u8(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

// Padded base64, as OpenSSH writes keys and signatures, and back (padded or not; characters
// outside the alphabet are passed over).
std::string base64(const std::string &bytes);
std::string unbase64(const std::string &text);

// The SSH wire encoding: a big-endian uint32, and a string (its length and its bytes).
std::string ssh_u32(uint32_t value);
std::string ssh_string(const std::string &bytes);

// Writes keys * per_key random messages of up to 299 bytes into `dir`, message i as
// "m<key>_<i>" with key = i / per_key, for a script that signs them with an independent tool;
// returns them in order.
std::vector<std::string> write_messages(const std::string &dir, int keys, int per_key,
                                        unsigned seed);

// An Ed25519 key's blob and its public key line "ssh-ed25519 BASE64".
std::string ed25519_blob(const std::string &key);
std::string ed25519_line(const std::string &key);

// A blob armored as ssh-keygen armors a signature, 70 base64 characters a line, and the blob
// of such a text.
std::string armor(const std::string &blob);
std::string dearmor(const std::string &text);

// Whether the program is on PATH.
bool have_program(const std::string &name);

// Hex digests of files by `openssl dgst -ALGORITHM`, in the order given.
std::vector<std::string> openssl_digests(const std::string &algorithm,
                                         const std::vector<std::string> &paths);

} // namespace vardo::test

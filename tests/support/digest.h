// Checks shared by the SHA-256 and SHA-512 tests, each run on a hash fed in pieces.
#pragma once
#include <string>
#include <vector>

namespace vardo::test {

// A hash under test: its name for `openssl dgst`, and its hex digest of pieces fed in turn.
struct Digest {
  const char *name;
  std::string (*hash)(const std::vector<std::string> &pieces);
};

// The messages of the FIPS 180-4 examples: empty, "abc", 448 and 896 bits, a million 'a'.
struct Vector {
  std::string message;
  const char *digest;
};
std::vector<Vector> fips_vectors(const char *empty, const char *abc, const char *bits448,
                                 const char *bits896, const char *million);

// Each vector's digest, whole and fed a byte at a time.
void expect_vectors(const Digest &d, const std::vector<Vector> &vectors);

// The digest of a message of three blocks and more, cut at every pair of places into three
// pieces, is that of the whole.
void expect_every_split_agrees(const Digest &d, size_t block_size);

// The digests of random data of every length 0..300 and some large ones equal openssl's.
void expect_openssl_agrees(const Digest &d);

// The SHA-256 of `bytes` as the system's sha256sum computes it: in hexadecimal, and as bytes.
std::string sha256sum_hex(const std::string &bytes);
std::string sha256_bytes(const std::string &bytes);

} // namespace vardo::test

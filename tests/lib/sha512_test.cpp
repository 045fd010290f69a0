#include "lib/sha512.h"

#include <gtest/gtest.h>

#include "support/crypto.h"
#include "support/digest.h"

namespace vardo {
namespace {

std::string sha512_hex(const std::vector<std::string> &pieces) {
  Sha512State s;
  unsigned char out[kSha512Size];
  sha512_init(s);
  for (const std::string &piece : pieces)
    sha512_update(s, piece.data(), piece.size());
  sha512_final(s, out);
  return test::hex(out, sizeof out);
}

const test::Digest kSha512 = {"sha512", sha512_hex};

TEST(Sha512, FipsExamples) {
  test::expect_vectors(
      kSha512,
      test::fips_vectors(
          "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2"
          "877eec2f63b931bd47417a81a538327af927da3e",
          "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
          "a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
          "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea"
          "57789ca031ad85c7a71dd70354ec631238ca3445",
          "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99de"
          "c4b5433ac7d329eeb6dd26545e96e55b874be909",
          "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432c"
          "e577c31beb009c5c2c49aa2e4eadb217ad8cc09b"));
}

TEST(Sha512, EverySplitAgrees) { test::expect_every_split_agrees(kSha512, 128); }

TEST(Sha512, AgreesWithOpenssl) { test::expect_openssl_agrees(kSha512); }

} // namespace
} // namespace vardo

#include "lib/ed25519.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

#include "lib/sha512.h"
#include "support/crypto.h"
#include "support/process.h"

namespace vardo {
namespace {

using test::u8;
using test::unhex;

bool verify(const std::string &signature, const std::string &key, const std::string &message) {
  return ed25519_verify(u8(signature), u8(key), message.data(), message.size());
}

std::string sha512_of(const std::string &message) {
  Sha512State s;
  unsigned char out[kSha512Size];
  sha512_init(s);
  sha512_update(s, message.data(), message.size());
  sha512_final(s, out);
  return std::string(reinterpret_cast<char *>(out), sizeof out);
}

struct Case {
  const char *name, *key, *message, *signature;
};

// RFC 8032, 7.1.
const Case kRfc8032[] = {
    {"TEST 1", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
     "b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f1"
     "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984d"
     "c6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST 1024", "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
     "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f54e9f"
     "77b1e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b27"
     "0b20329d658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efcb8550ee3a5e1"
     "998bd177e93a7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b3b310da903401aa6"
     "2100ab5d1a36553e06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbefefd75499da96"
     "bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204ed3455c68c83f4a41da4af2b"
     "74ef5c53f1d8ac70bdcb7ed185ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2d17b"
     "a70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88425de6bd"
     "e1a9187ebb6092cf67bf2b13fd65f27088d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63b"
     "cbcc2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d2"
     "38f5555a7a569d80c3414a8d0859dc65a46128bab27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d"
     "83d1255dc51addd3b75a2b1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9"
     "af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb751fb73e666c6c655ade8297297d07ad1ba5e43f1bca3"
     "2301651339e22904cc8c42f58c30c04aafdb038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8ca61783a"
     "acec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34dff7310fdc82aebfd904b01e1dc54b2927094b"
     "2db68d6f903b68401adebf5a7e08d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649"
     "de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e488acba6b965610b5480109c8b17b"
     "80e1b7b750dfc7598d5d5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504cc"
     "c493d97e6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346"
     "f1a641f3b041e989f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d9"
     "0d11faa933a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c"
     "4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8cac60c905c"
     "15fc910840b94c00a0b9d0",
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436"
     "d94b5e8fcd4f681e30a6ac00a9704a188a03"},
    {"TEST SHA(abc)", "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf", nullptr,
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431"
     "e0303dca179c138ac17ad9bef1177331a704"},
};

std::string message_of(const Case &c) { return c.message ? unhex(c.message) : sha512_of("abc"); }

// Flips bit `bit` of `bytes`.
void flip(std::string &bytes, size_t bit) { bytes[bit / 8] ^= static_cast<char>(1 << bit % 8); }

// Each vector verifies, and no longer does with any one bit of its signature or its key flipped,
// or one of the first and last byte of its message.
TEST(Ed25519, Rfc8032VectorsAndEveryFlippedBit) {
  for (const Case &c : kRfc8032) {
    std::string key = unhex(c.key), message = message_of(c), signature = unhex(c.signature);
    ASSERT_EQ(message.size(), c.message ? strlen(c.message) / 2 : 64u) << c.name;
    EXPECT_TRUE(verify(signature, key, message)) << c.name;
    std::vector<std::pair<std::string *, size_t>> bits;
    for (size_t bit = 0; bit < 512; ++bit)
      bits.emplace_back(&signature, bit);
    for (size_t bit = 0; bit < 256; ++bit)
      bits.emplace_back(&key, bit);
    for (size_t bit = 0; bit < 8 && !message.empty(); ++bit) {
      bits.emplace_back(&message, bit);
      bits.emplace_back(&message, 8 * message.size() - 1 - bit);
    }
    for (auto [part, bit] : bits) {
      flip(*part, bit);
      EXPECT_FALSE(verify(signature, key, message)) << c.name << " bit " << bit;
      flip(*part, bit);
    }
  }
}

// Signatures by openssl (genpkey -algorithm ed25519, pkeyutl -sign -rawin) of random messages
// with random keys, made by one script: each verifies, and not with a random bit of its message,
// its signature or its key flipped.
TEST(Ed25519, OpensslSignaturesVerify) {
  if (!test::have_program("openssl"))
    GTEST_SKIP() << "openssl is not installed";
  constexpr int kKeys = 10, kMessages = 20;
  test::TempDir dir;
  std::vector<std::string> messages = test::write_messages(dir.path(), kKeys, kMessages, 8032);
  std::mt19937 gen(8032); // the bits flipped below
  test::RunOptions in_dir;
  in_dir.cwd = dir.path();
  test::RunResult r =
      test::run({"sh", "-ec",
                 "for k in $(seq 0 " + std::to_string(kKeys - 1) +
                     "); do\n"
                     "  openssl genpkey -algorithm ed25519 -out k$k.pem\n"
                     "  openssl pkey -in k$k.pem -pubout -outform DER -out k$k.der\n"
                     "  for m in m${k}_*; do openssl pkeyutl -sign -rawin -inkey k$k.pem -in $m "
                     "-out $m.sig; done\n"
                     "done"},
                in_dir);
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < kKeys * kMessages; ++i) {
    std::string der = test::read_file(dir / ("k" + std::to_string(i / kMessages) + ".der"));
    std::string key = der.substr(der.size() - 32), message = messages[i];
    std::string signature = test::read_file(
        dir / ("m" + std::to_string(i / kMessages) + "_" + std::to_string(i) + ".sig"));
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(verify(signature, key, message)) << "message " << i;
    for (std::string *part : {&message, &signature, &key}) {
      if (part->empty())
        continue;
      size_t bit = gen() % (8 * part->size());
      flip(*part, bit);
      EXPECT_FALSE(verify(signature, key, message)) << "message " << i << " bit " << bit;
      flip(*part, bit);
    }
  }
}

// The little-endian sum of two 32-byte numbers, modulo 2^256.
std::string add_le(const std::string &a, const std::string &b) {
  std::string sum(32, '\0');
  for (int i = 0, carry = 0; i < 32; ++i) {
    carry += static_cast<unsigned char>(a[i]) + static_cast<unsigned char>(b[i]);
    sum[i] = static_cast<char>(carry);
    carry >>= 8;
  }
  return sum;
}

const std::string kL = unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

// S + L signs as S does, [S + L]B being [S]B: only the check S < L refuses it.
TEST(Ed25519, ScalarNotBelowTheGroupOrderIsRefused) {
  for (const Case &c : kRfc8032) {
    std::string signature = unhex(c.signature), key = unhex(c.key);
    std::string s = signature.substr(32);
    EXPECT_FALSE(verify(signature.substr(0, 32) + add_le(s, kL), key, message_of(c))) << c.name;
    std::string l_itself = signature.substr(0, 32) + kL;
    EXPECT_FALSE(verify(l_itself, key, message_of(c))) << c.name;
  }
}

// The eight points of small order (1, 2, 4, 4, 8, 8, 8, 8).
const char *kSmallOrder[] = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
};

const std::string kBase = unhex("5866666666666666666666666666666666666666666666666666666666666666");
const std::string kOne = unhex("0100000000000000000000000000000000000000000000000000000000000000");

// R = B, S = 1 satisfies [S]B = R + [k]A for every message when A is the identity (and for some
// messages with the others): only the small-order check refuses these keys.
TEST(Ed25519, SmallOrderKeysAreRefused) {
  for (const char *point : kSmallOrder)
    for (const char *message : {"", "vardo", "a message"})
      EXPECT_FALSE(verify(kBase + kOne, unhex(point), message)) << point << " " << message;
}

// R of small order. The first is a forgery that satisfies the equation: R the identity,
// S = k * a mod L for the secret scalar a of RFC 8032's TEST 1 key and k = H(R || A || "vardo").
TEST(Ed25519, SmallOrderCommitmentsAreRefused) {
  std::string key = unhex(kRfc8032[0].key);
  EXPECT_FALSE(verify(unhex("0100000000000000000000000000000000000000000000000000000000000000"
                            "8978548b4bd3ce2fe006afc8aa3270306c3d6c6a0345bd61ea3ccb5b18b76e01"),
                      key, "vardo"));
  for (const char *point : kSmallOrder)
    EXPECT_FALSE(verify(unhex(point) + kOne, key, "vardo")) << point;
}

// Encodings refused as A and R. Each of the first ones is refused by one check alone: y >= p for
// points that are not of small order, and a y with no x. The x = 0 points with the sign bit set
// are also of small order.
TEST(Ed25519, EncodingsOfNoPointAreRefused) {
  const char *encodings[] = {
      "f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", // p + 3
      "f1ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", // p + 4, x odd
      "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", // p + 18
      "0200000000000000000000000000000000000000000000000000000000000000", // y = 2 has no x
      "0700000000000000000000000000000000000000000000000000000000000080", // nor has 7
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", // p, of order 4
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", // p + 1, the identity
      "0100000000000000000000000000000000000000000000000000000000000080", // x = 0, sign 1
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", // x = 0, sign 1
  };
  const Case &c = kRfc8032[1];
  std::string key = unhex(c.key), signature = unhex(c.signature), message = unhex(c.message);
  for (const char *encoding : encodings) {
    EXPECT_FALSE(ed25519_key_valid(u8(unhex(encoding)))) << encoding;
    EXPECT_FALSE(verify(kBase + kOne, unhex(encoding), message)) << "A " << encoding;
    EXPECT_FALSE(verify(unhex(encoding) + signature.substr(32), key, message)) << "R " << encoding;
  }
  // The same points written canonically (but for those of small order) are valid.
  for (const char *y : {"03", "04", "12"}) {
    std::string point = unhex(y) + std::string(31, '\0');
    EXPECT_TRUE(ed25519_key_valid(u8(point))) << y;
    point[31] = '\x80';
    EXPECT_TRUE(ed25519_key_valid(u8(point))) << y << " with x odd";
  }
  for (const char *point : kSmallOrder)
    EXPECT_FALSE(ed25519_key_valid(u8(unhex(point)))) << point;
  for (const Case &rfc : kRfc8032)
    EXPECT_TRUE(ed25519_key_valid(u8(unhex(rfc.key)))) << rfc.name;
}

} // namespace
} // namespace vardo

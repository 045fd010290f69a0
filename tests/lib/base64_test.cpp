#include "lib/base64.h"

#include <cstring>
#include <gtest/gtest.h>

#include "support/crypto.h"
#include "support/process.h"

namespace vardo {
namespace {

// The decoded bytes, or "refused".
std::string decode(const std::string &text, size_t size = 64) {
  std::string out(size, '\0');
  int n =
      base64_decode(text.data(), text.size(), reinterpret_cast<unsigned char *>(out.data()), size);
  return n < 0 ? "refused" : out.substr(0, static_cast<size_t>(n));
}

std::string encode(const std::string &bytes) {
  std::string out((4 * bytes.size() + 2) / 3 + 1, '\x55');
  base64_encode_unpadded(test::u8(bytes), bytes.size(), out.data());
  EXPECT_EQ(out.back(), '\0') << "the NUL ends the room given";
  out.pop_back();
  return out;
}

// RFC 4648, 10; without its padding, refused as OpenSSH refuses it.
TEST(Base64, Rfc4648Vectors) {
  const char *vectors[][3] = {{"", "", ""},
                              {"f", "Zg==", "Zg"},
                              {"fo", "Zm8=", "Zm8"},
                              {"foo", "Zm9v", "Zm9v"},
                              {"foob", "Zm9vYg==", "Zm9vYg"},
                              {"fooba", "Zm9vYmE=", "Zm9vYmE"},
                              {"foobar", "Zm9vYmFy", "Zm9vYmFy"}};
  for (const auto &v : vectors) {
    EXPECT_EQ(decode(v[1]), v[0]) << v[1];
    EXPECT_EQ(decode(v[2]), strlen(v[2]) % 4 ? "refused" : v[0]) << v[2];
    EXPECT_EQ(encode(v[0]), v[2]) << v[0];
  }
}

TEST(Base64, MalformedTextIsRefused) {
  for (const char *text : {"Z", "Zg=", "Zg===", "====", "Z===", "Zm9vY", "Zh==", "Zm9=", "Zg==Zg==",
                           "Zm=v", "Zm 9v", "Zm9v\n", "Zm9v-_", "Zm9\x80"})
    EXPECT_EQ(decode(text), "refused") << text;
  EXPECT_EQ(decode(std::string("Zm\0v", 4)), "refused");
}

TEST(Base64, BytesMustFitTheRoomGiven) {
  EXPECT_EQ(decode("Zm9vYmFy", 6), "foobar");
  EXPECT_EQ(decode("Zm9vYmFy", 5), "refused");
  EXPECT_EQ(decode("Zm9vYmE=", 5), "fooba");
  EXPECT_EQ(decode("Zm9vYmE", 4), "refused");
  EXPECT_EQ(decode("", 0), "");
}

// Random bytes of every length 0..200, against the tests' own encoder and `openssl base64`.
TEST(Base64, RoundTripsAgreeWithOpenssl) {
  std::string all;
  for (size_t len = 0; len <= 200; ++len) {
    std::string bytes = test::random_bytes(len, static_cast<unsigned>(len));
    std::string padded = test::base64(bytes);
    EXPECT_EQ(decode(padded, len), bytes) << len;
    EXPECT_EQ(decode(encode(bytes), len), len % 3 ? "refused" : bytes) << len;
    EXPECT_EQ(encode(bytes), padded.substr(0, padded.find('='))) << len;
    all += bytes;
  }
  if (!test::have_program("openssl"))
    GTEST_SKIP() << "openssl is not installed";
  test::RunOptions options;
  options.input = all;
  test::RunResult r = test::run({"openssl", "base64", "-A"}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, test::base64(all));
  EXPECT_EQ(decode(r.out, all.size()), all);
}

} // namespace
} // namespace vardo

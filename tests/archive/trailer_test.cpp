#include "archive/trailer.h"

#include <cstring>
#include <gtest/gtest.h>

#include "support/digest.h"
#include "support/gzip.h"
#include "support/process.h"

namespace vardo {
namespace {

Trailer sample(size_t signature_size) {
  Trailer t;
  t.length = 0x0123456789ABCDEFu;
  for (int i = 0; i < kSha256Size; ++i)
    t.digest[i] = static_cast<unsigned char>(i * 7);
  t.signature_size = signature_size;
  memset(t.signature, 'S', signature_size);
  return t;
}

std::string formatted(const Trailer &t) {
  unsigned char bytes[kTrailerLimit];
  return std::string(reinterpret_cast<char *>(bytes), format_trailer(t, bytes));
}

// A trailer is read back from the end of any bytes that end with it, signed or not, and zlib
// takes it for an empty gzip member; bytes after it, a cut, and any change to the bytes that are
// not its values are refused.
TEST(Trailer, ReadFromTheEndOfAFile) {
  for (size_t signature : {size_t{0}, size_t{1}, size_t{300}, kSignatureLimit}) {
    Trailer t = sample(signature);
    std::string bytes = formatted(t);
    ASSERT_EQ(bytes.size(), 78 + signature);
    EXPECT_EQ(trailer_size(t), bytes.size());
    auto member = test::zlib_gunzip(bytes);
    EXPECT_TRUE(member.ok && member.data.empty() && member.consumed == bytes.size());
    std::string file = test::random_bytes(500, 1) + bytes;
    Trailer back;
    ASSERT_EQ(
        parse_trailer(reinterpret_cast<const unsigned char *>(file.data()), file.size(), &back),
        static_cast<long>(bytes.size()));
    EXPECT_EQ(back.length, t.length);
    EXPECT_EQ(memcmp(back.digest, t.digest, kSha256Size), 0);
    EXPECT_EQ(std::string(back.signature, back.signature_size), std::string(signature, 'S'));
    auto refused = [&](const std::string &b) {
      Trailer ignored;
      return parse_trailer(reinterpret_cast<const unsigned char *>(b.data()), b.size(), &ignored) <
             0;
    };
    EXPECT_TRUE(refused(file + "x"));
    EXPECT_TRUE(refused(file.substr(0, file.size() - 1)));
    EXPECT_TRUE(refused(bytes.substr(1)));
    // The values: the length (8 bytes at 17), the digest (32 at 25), the signature (at 60).
    auto is_value = [&](size_t at) {
      return (at >= 17 && at < 57) || (at >= 60 && at < 60 + signature);
    };
    for (size_t at = 0; at < bytes.size(); ++at) {
      std::string changed = bytes;
      changed[at] = static_cast<char>(changed[at] ^ 0x20);
      EXPECT_EQ(refused(changed), !is_value(at)) << signature << " " << at;
    }
  }
}

// The signed text names the format, the length and the digest as sha256sum writes it.
TEST(Trailer, SignedText) {
  Trailer t;
  t.length = 195735;
  std::string digest = test::sha256_bytes("abc");
  memcpy(t.digest, digest.data(), kSha256Size);
  char text[kSignedTextSize];
  size_t n = format_signed_text(t, text);
  EXPECT_EQ(std::string(text, n),
            "vardo archive 1\nlength 195735\nsha256 " + test::sha256sum_hex("abc") + "\n");
}

} // namespace
} // namespace vardo

#include "gzstream/crc32.h"

#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

#include "support/fork.h"

namespace vardo {
namespace {

TEST(Crc32, CheckValue) {
  crc32_update(nullptr, 0);
  EXPECT_EQ(crc32_update("123456789", 9), 0xCBF43926u);
}

TEST(Crc32, ResetEmptyAndZeroLength) {
  EXPECT_EQ(crc32_update(nullptr, 0), 0u);
  EXPECT_EQ(crc32_update("", 0), 0u); // the CRC of no data
  crc32_update("abc", 3);
  uint32_t now = crc32_update("x", 0);
  EXPECT_EQ(crc32_update("", 0), now);
  EXPECT_EQ(now, static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef *>("abc"), 3)));
}

TEST(Crc32, AgreesWithZlibOnRandomBuffersInRandomPieces) {
  std::mt19937 gen(1952);
  for (int round = 0; round < 200; ++round) {
    size_t len = gen() % 5000;
    std::string data = test::random_bytes(len, gen());
    crc32_update(nullptr, 0);
    size_t done = 0;
    uint32_t ours = 0;
    while (done < len) {
      size_t piece = std::min<size_t>(len - done, gen() % 37 + 1);
      ours = crc32_update(data.data() + done, piece);
      done += piece;
    }
    if (len == 0)
      ours = crc32_update(data.data(), 0);
    uLong theirs = ::crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(len));
    ASSERT_EQ(ours, static_cast<uint32_t>(theirs)) << "length " << len;
  }
}

} // namespace
} // namespace vardo

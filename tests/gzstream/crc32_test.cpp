#include "gzstream/crc32.h"

#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

#include "support/fork.h"

#define crc32 own_crc32
#define adler32 own_adler32
#include "gzstream/zlib_checksums.cpp"
#undef crc32
#undef adler32

namespace vardo {
namespace {

// The register the cases run through.
StreamState st;

uint32_t zlib_crc(const unsigned char *p, size_t len) {
  return static_cast<uint32_t>(::crc32(0, p, static_cast<uInt>(len)));
}

uint32_t crc_of(const unsigned char *p, size_t len) {
  crc32_reset(st);
  return crc32_update(st, p, len);
}

// The widths crc32_update can be limited to, widest first; 0 is the table-driven fallback.
constexpr int kWidths[] = {512, 128, 0};

// Every case runs at every width this processor has, and leaves the widest in force.
class Crc32 : public ::testing::Test {
protected:
  void TearDown() override { crc32_limit_width(512); }

  // Checks the CRC of the range at every width against the table-driven one and zlib's.
  static void expect_all_widths_agree(const unsigned char *p, size_t len, size_t align) {
    uint32_t theirs = zlib_crc(p, len);
    crc32_limit_width(0);
    uint32_t table = crc_of(p, len);
    ASSERT_EQ(table, theirs) << "tables, length " << len << " alignment " << align;
    for (int width : {512, 128}) {
      if (crc32_limit_width(width) != width)
        continue;
      ASSERT_EQ(crc_of(p, len), table)
          << "width " << width << ", length " << len << " alignment " << align;
    }
  }

  // Random bytes with room for any alignment of a 64-byte boundary in front.
  static std::string buffer(size_t len, unsigned seed) {
    return test::random_bytes(len + 64, seed);
  }

  static const unsigned char *at(const std::string &s, size_t align) {
    auto base = reinterpret_cast<uintptr_t>(s.data());
    return reinterpret_cast<const unsigned char *>(s.data()) + ((align - base) & 63);
  }
};

TEST_F(Crc32, CheckValue) {
  for (int width : kWidths) {
    crc32_limit_width(width);
    crc32_reset(st);
    EXPECT_EQ(crc32_update(st, "123456789", 9), 0xCBF43926u) << "width " << width;
    EXPECT_EQ(crc32_of(0, "123456789", 9), 0xCBF43926u) << "width " << width;
    // Long enough to be folded: 64 copies of the check string.
    std::string s;
    for (int i = 0; i < 64; ++i)
      s += "123456789";
    crc32_reset(st);
    EXPECT_EQ(crc32_update(st, s.data(), s.size()),
              zlib_crc(reinterpret_cast<const unsigned char *>(s.data()), s.size()))
        << "width " << width;
  }
}

TEST_F(Crc32, ResetEmptyAndZeroLength) {
  crc32_update(st, "junk", 4);
  crc32_reset(st);
  EXPECT_EQ(crc32_value(st), 0u); // the CRC of no data
  EXPECT_EQ(crc32_update(st, "", 0), 0u);
  crc32_update(st, "abc", 3);
  uint32_t now = crc32_value(st);
  EXPECT_EQ(crc32_update(st, "x", 0), now);
  EXPECT_EQ(now, static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef *>("abc"), 3)));
  // Continued from a CRC, as zlib continues.
  EXPECT_EQ(crc32_of(crc32_of(0, "ab", 2), "c", 1), now);
  EXPECT_EQ(crc32_of(now, "", 0), now);
}

// The hook reports what the processor offers, judged independently of the CPUID code under
// test, and the fallback can always be forced.
TEST_F(Crc32, WidthLimitFollowsTheProcessor) {
  int widest = 0;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("pclmul"))
    widest = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq") ? 512 : 128;
#endif
  EXPECT_EQ(crc32_limit_width(512), widest);
  EXPECT_EQ(crc32_limit_width(128), std::min(widest, 128));
  EXPECT_EQ(crc32_limit_width(0), 0);
  EXPECT_EQ(crc32_limit_width(512), widest);
  if (widest < 512)
    GTEST_SKIP() << "this processor folds at most " << widest << " bits wide: wider code untested";
}

// Every length 0..4096 at a few alignments, and every alignment 0..63 at the lengths where
// the folding code changes course (thresholds, 16- and 64-byte steps) and a spread beyond.
TEST_F(Crc32, AgreesWithTablesAndZlibAtEveryLengthAndAlignment) {
  std::string data = buffer(4096, 1952);
  for (size_t align : {0, 5, 63})
    for (size_t len = 0; len <= 4096; ++len)
      ASSERT_NO_FATAL_FAILURE(expect_all_widths_agree(at(data, align), len, align));
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 260; ++len)
    lengths.push_back(len);
  for (size_t len = 261; len <= 4096; len += 97)
    lengths.push_back(len);
  for (size_t align = 0; align < 64; ++align)
    for (size_t len : lengths)
      ASSERT_NO_FATAL_FAILURE(expect_all_widths_agree(at(data, align), len, align));
}

TEST_F(Crc32, AgreesOnLargeBuffers) {
  for (size_t len : {size_t{32768}, size_t{1} << 20, (size_t{3} << 20) + 37}) {
    std::string data = buffer(len, static_cast<unsigned>(len));
    for (size_t align : {0, 17})
      ASSERT_NO_FATAL_FAILURE(expect_all_widths_agree(at(data, align), len, align));
  }
}

// The register carries over between calls, whichever code each call takes.
TEST_F(Crc32, AgreesWithZlibOnRandomBuffersInRandomPieces) {
  std::mt19937 gen(1952);
  for (int round = 0; round < 200; ++round) {
    size_t len = gen() % 5000;
    std::string data = test::random_bytes(len, gen());
    auto *p = reinterpret_cast<const unsigned char *>(data.data());
    uint32_t theirs = zlib_crc(p, len);
    for (int width : kWidths) {
      crc32_limit_width(width);
      crc32_reset(st);
      size_t done = 0;
      uint32_t ours = crc32_update(st, p, 0);
      while (done < len) {
        size_t piece = std::min<size_t>(len - done, round % 2 ? gen() % 37 + 1 : gen() % 300 + 1);
        ours = crc32_update(st, p + done, piece);
        done += piece;
      }
      ASSERT_EQ(ours, theirs) << "width " << width << ", length " << len;
    }
  }
}

// The CRC of two pieces from the CRCs of each is zlib's crc32_combine, for empty pieces, pieces
// of every small length and lengths of 4 GiB and more (where the zeros are never fed).
TEST(Crc32Combine, AgreesWithZlib) {
  std::mt19937_64 gen(8);
  for (uint64_t len : {uint64_t{0}, uint64_t{1}, uint64_t{3}, uint64_t{64}, uint64_t{1000},
                       uint64_t{1} << 20, (uint64_t{1} << 32) + 5, ~uint64_t{0} >> 2}) {
    for (int round = 0; round < 20; ++round) {
      auto a = static_cast<uint32_t>(gen()), b = static_cast<uint32_t>(gen());
      EXPECT_EQ(crc32_combine_of(a, b, len),
                static_cast<uint32_t>(crc32_combine64(a, b, static_cast<z_off64_t>(len))))
          << len;
    }
  }
  std::string one = test::random_bytes(70000, 1), two = test::random_bytes(12345, 2);
  EXPECT_EQ(crc32_combine_of(crc32_of(0, one.data(), one.size()),
                             crc32_of(0, two.data(), two.size()), two.size()),
            crc32_of(0, (one + two).data(), one.size() + two.size()));
}

// The executable's stand-ins for zlib's crc32 and adler32 (compiled here under other names, so
// that zlib's own stay in this binary) give zlib's values, from a start of their own or zlib's.
TEST(ZlibChecksums, StandInsGiveZlibsValues) {
  EXPECT_EQ(own_crc32(0, nullptr, 0), ::crc32(0, nullptr, 0));
  EXPECT_EQ(own_adler32(0, nullptr, 0), ::adler32(0, nullptr, 0));
  std::mt19937 gen(1950);
  for (size_t len : {0, 1, 15, 64, 5551, 5552, 5553, 100000}) {
    std::string data = test::random_bytes(len, static_cast<unsigned>(len));
    auto *p = reinterpret_cast<const Bytef *>(data.data());
    uLong start = gen();
    EXPECT_EQ(own_crc32(0, p, len), ::crc32(0, p, len)) << len;
    EXPECT_EQ(own_crc32(start, p, len), ::crc32(start, p, len)) << len;
    EXPECT_EQ(own_adler32(1, p, len), ::adler32(1, p, len)) << len;
    EXPECT_EQ(own_adler32(start & 0xFFF0FFF0, p, len), ::adler32(start & 0xFFF0FFF0, p, len))
        << len;
  }
  std::string ones(100000, '\xFF'); // the largest sums
  auto *p = reinterpret_cast<const Bytef *>(ones.data());
  EXPECT_EQ(own_adler32(0xFFF0FFF0, p, ones.size()), ::adler32(0xFFF0FFF0, p, ones.size()));
}

} // namespace
} // namespace vardo

#include "lib/print_format.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace vardo {
namespace {

// What print_format writes and returns, and what the C library's vsnprintf makes of the same.
struct Both {
  std::string ours, theirs;
  int ours_count, theirs_count;
};

Both both(const char *format, ...) {
  Both b;
  va_list args, copy;
  va_start(args, format);
  va_copy(copy, args);
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  b.ours_count = print_format(f, format, args);
  fclose(f);
  b.ours.assign(buf, len);
  free(buf);
  char theirs[16384];
  b.theirs_count = vsnprintf(theirs, sizeof theirs, format, copy);
  b.theirs = theirs;
  va_end(copy);
  va_end(args);
  return b;
}

#define EXPECT_LIKE_THE_LIBRARY(...)                                                               \
  do {                                                                                             \
    Both b = both(__VA_ARGS__);                                                                    \
    EXPECT_EQ(b.ours, b.theirs) << #__VA_ARGS__;                                                   \
    EXPECT_EQ(b.ours_count, b.theirs_count) << #__VA_ARGS__;                                       \
  } while (0)

// Every conversion, flag, width, precision and length the tool's messages and the C library's
// own callers use, and their neighbours, as the C library formats them.
TEST(PrintFormat, AsTheLibraryFormats) {
  EXPECT_LIKE_THE_LIBRARY("plain text, no conversion");
  EXPECT_LIKE_THE_LIBRARY("%s|%5s|%-5s|%.3s|%.*s|%.0s|", "abc", "ab", "ab", "abcdef", 2, "xyz",
                          "q");
  EXPECT_LIKE_THE_LIBRARY("%.*s|%*s|%-*s|", -1, "neg precision", -6, "ab", 4, "c");
  EXPECT_LIKE_THE_LIBRARY("%d %d %d %d %i", 0, -1, INT_MAX, INT_MIN, 42);
  EXPECT_LIKE_THE_LIBRARY("%5d|%-5d|%05d|%+d|% d|%+05d|%-+5d|", 42, 42, -42, 7, 7, 7, 7);
  EXPECT_LIKE_THE_LIBRARY("%.2d|%.0d|%.0d|%5.3d|%-5.3d|%05.3d|", 5, 0, 1, -7, 7, 7);
  EXPECT_LIKE_THE_LIBRARY("%u %lu %llu %zu %ju %td", 4000000000u, ULONG_MAX, ULLONG_MAX, SIZE_MAX,
                          UINTMAX_MAX, static_cast<ptrdiff_t>(-3));
  EXPECT_LIKE_THE_LIBRARY("%ld %lld %zd", LONG_MIN, LLONG_MIN, static_cast<ssize_t>(-5));
  EXPECT_LIKE_THE_LIBRARY("%x %X %08lx %#x %#X %#x %o %03o %#o %#o", 0xbeefu, 0xbeefu, 0x1234ul,
                          255u, 255u, 0u, 8u, 5u, 8u, 0u);
  EXPECT_LIKE_THE_LIBRARY("%hhd %hhu %hd %hu", 300, 300, 70000, 70000);
  EXPECT_LIKE_THE_LIBRARY("%c%c%-3c|%3c|", 'a', 0x7f, 'b', 'c');
  EXPECT_LIKE_THE_LIBRARY("100%% %%%s%%", "x");
  EXPECT_LIKE_THE_LIBRARY("%9ld %9llu %2llu.%1llu%%", 1234567L, 123456789ULL, 7ULL, 5ULL);
  EXPECT_LIKE_THE_LIBRARY("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", "Wed", "Dec", 9, 7, 5, 3, 2026);
  EXPECT_LIKE_THE_LIBRARY("%p", static_cast<void *>(&errno));
  std::string long_text(5000, 'y');
  EXPECT_LIKE_THE_LIBRARY("%s and %s", long_text.c_str(), long_text.c_str());
}

// A write that fails is -1, as fprintf's failure is.
TEST(PrintFormat, FailedWriteIsMinusOne) {
  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  va_list none{};
  EXPECT_EQ(print_format(full, "text", none), -1);
  fclose(full);
}

} // namespace
} // namespace vardo

#include "lib/strsplit.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "lib/aplist.h"
#include "lib/basename.h"
#include "lib/strdel.h"

namespace vardo {
namespace {

std::vector<std::string> split(const char *text, const char *seps = ",") {
  void **list = strsplit(text, seps);
  std::vector<std::string> pieces;
  for (void **slot = list; *slot; ++slot)
    pieces.emplace_back(static_cast<char *>(*slot));
  EXPECT_EQ(aplist_count(list), static_cast<int>(pieces.size()));
  aplist_free(list);
  return pieces;
}

using V = std::vector<std::string>;

TEST(Strsplit, EmptyPiecesBetweenAndBeforeButNotAtEnd) {
  EXPECT_EQ(split("a,,b"), (V{"a", "", "b"}));
  EXPECT_EQ(split(",a"), (V{"", "a"}));
  EXPECT_EQ(split("a,"), (V{"a"}));
  EXPECT_EQ(split(""), V{});
  EXPECT_EQ(split(nullptr), V{});
}

TEST(Strsplit, ManyPiecesGrowTheList) {
  EXPECT_EQ(split("1,2,3,4,5,6,7,8,9,10,11"),
            (V{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}));
}

TEST(Strsplit, BackslashKeepsSeparatorAndIsRemoved) {
  EXPECT_EQ(split("a\\,b,r"), (V{"a,b", "r"}));
  EXPECT_EQ(split("r,a\\,b"), (V{"r", "a,b"}));
  EXPECT_EQ(split("ab\\"), (V{"ab"})); // a trailing backslash ends the scan
}

TEST(Strsplit, QuotedGroupKeepsSeparators) {
  EXPECT_EQ(split("\"1,2\",y"), (V{"1,2", "y"}));
  EXPECT_EQ(split("x=\"1,2\",y"), (V{"1,2", "y"}));
}

TEST(Strsplit, ClosingQuoteRemovesAllLaterQuotes) {
  EXPECT_EQ(split("\"a b\" \"p q\"", " "), (V{"a b", "p", "q"}));
  EXPECT_EQ(split("\"ab\""), (V{"ab"}));
  EXPECT_EQ(split("\"\""), (V{""})); // the quote closes at the end: an empty piece
}

TEST(Strsplit, QuoteAfterBackslashIsOrdinary) { EXPECT_EQ(split("a\\b\"c,d"), (V{"ab\"c", "d"})); }

TEST(Strdel, RemovesEveryOccurrence) {
  char text[] = "a\"b\"";
  EXPECT_EQ(strdel(text, '"'), 2);
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(strdel(nullptr, 'x'), 0);
  char empty[] = "";
  EXPECT_EQ(strdel(empty, 'x'), 0);
  char high[] = "a\xe9"
                "b\xe9";
  EXPECT_EQ(strdel(high, '\xe9'), 2);
  EXPECT_STREQ(high, "ab");
}

TEST(Basename, StripsDirectoryInPlace) {
  char a[] = "/usr/lib/x", b[] = "x", c[] = "dir/";
  EXPECT_STREQ(basename(a), "x");
  EXPECT_STREQ(basename(b), "x");
  EXPECT_STREQ(basename(c), "");
  EXPECT_EQ(basename(a), a);
}

} // namespace
} // namespace vardo

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

// A text without double quotes splits as it always has.
TEST(Strsplit, TextWithoutQuotesSplitsAsBefore) {
  struct {
    const char *text, *seps;
    V pieces;
  } cases[] = {
      {"NOCOMPR,VFYFS=/u,NAME=x", ",", {"NOCOMPR", "VFYFS=/u", "NAME=x"}},
      {"a b\\ c\\\\,d", ",", {"a b c", "d"}}, // every backslash of a piece goes, escaped or not
      {"a\\\\\\,b", ",", {"a,b"}},
      {"a,\\", ",", {"a", ""}}, // a lone backslash still makes a piece
      {"\\,,\\,", ",", {",", ","}},
      {",,", ",", {"", ""}},
      {" a \\ b\\\tc\t", " \t", {"", "a", " b\tc"}},
      {"K=v\\", ",", {"K=v"}},
      {"x\\y,z\\,w,", ",", {"xy", "z,w"}},
      {"a,b\\,c", ",\\", {"a", "b,c"}}, // a backslash separator is still an escape
  };
  for (const auto &c : cases)
    EXPECT_EQ(split(c.text, c.seps), c.pieces) << c.text;
}

// Within one piece a pair of double quotes keeps the separators between them; the two quotes
// are dropped and the text before and after them stays in the piece.
TEST(Strsplit, QuotesKeepSeparatorsWithinTheirPiece) {
  EXPECT_EQ(split("\"1,2\",y"), (V{"1,2", "y"}));
  EXPECT_EQ(split("x=\"1,2\",y"), (V{"x=1,2", "y"}));
  EXPECT_EQ(split("MSG=\"hello, world\",T=1"), (V{"MSG=hello, world", "T=1"}));
  EXPECT_EQ(split("COMMENT=\"LD_PRELOAD=/tmp/evil.so\""), (V{"COMMENT=LD_PRELOAD=/tmp/evil.so"}));
  EXPECT_EQ(split("a\"b\"c\"d,e\",f"), (V{"abcd,e", "f"}));
  EXPECT_EQ(split("\"ab\""), (V{"ab"}));
  EXPECT_EQ(split("\"\""), V{});                // an empty last piece, as without quotes
  EXPECT_EQ(split("a,\"b,c"), (V{"a", "b,c"})); // an unpaired quote keeps them to the end
}

// Quotes pair within their own piece, and leave the quotes of the other pieces alone.
TEST(Strsplit, QuotesOfOtherPiecesAreUntouched) {
  EXPECT_EQ(split("A=\"1,2\",B=\"3,4\""), (V{"A=1,2", "B=3,4"}));
  EXPECT_EQ(split("\"a b\" \"p q\"", " "), (V{"a b", "p q"}));
}

// A backslash keeps the next character from splitting or quoting, no more.
TEST(Strsplit, BackslashEscapesOnlyTheNextCharacter) {
  EXPECT_EQ(split("a\\\"b,c"), (V{"a\"b", "c"}));
  EXPECT_EQ(split("A=\"x\\\"y\",B"), (V{"A=x\"y", "B"}));
  EXPECT_EQ(split("A=\"1\\,2\",B=3"), (V{"A=1,2", "B=3"}));
  EXPECT_EQ(split("a\\b\"c,d\""), (V{"abc,d"}));
}

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

TEST(Basename, TextAfterTheLastSlash) {
  EXPECT_STREQ(basename_of("/usr/lib/x"), "x");
  EXPECT_STREQ(basename_of("x"), "x");
  EXPECT_STREQ(basename_of("dir/"), "");
}

} // namespace
} // namespace vardo

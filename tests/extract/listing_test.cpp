#include "extract/listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/digest.h"
#include "support/fork.h"
#include "support/gzip.h"
#include "support/tool.h"
#include <zlib.h>

namespace vardo {
namespace {

using test::gzip_member;
using test::le32;

std::string ratio_text(int32_t num, int32_t den) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  print_ratio(num, den, f);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

TEST(PrintRatio, TenthsWithSignAndPadding) {
  EXPECT_EQ(ratio_text(3027, 4000), " 75.6%");
  EXPECT_EQ(ratio_text(5, 1000), "  0.5%");
  EXPECT_EQ(ratio_text(-200, 1000), "-20.0%");
  EXPECT_EQ(ratio_text(0, 0), "  0.0%");
  EXPECT_EQ(ratio_text(7, 0), "  0.0%");
  EXPECT_EQ(ratio_text(1000, 1000), " 100.0%");
  // From 2147483 on the denominator is divided first.
  EXPECT_EQ(ratio_text(1073741, 2147483), " 50.0%");
  EXPECT_EQ(ratio_text(1500000000, 2000000000), " 75.0%");
  // A negative denominator (ISIZE of 2 GiB or more) is below the limit: the product wraps as in
  // 32-bit arithmetic.
  EXPECT_EQ(ratio_text(5, -1000), "- 0.5%");
  // The product wraps to INT32_MIN; divided by -1 the quotient wraps back, without a trap.
  EXPECT_EQ(ratio_text(-268435456, -1), "-214748364.8%");
}

class Listing : public ::testing::Test {
protected:
  test::RunResult list(std::vector<std::string> args) {
    args.insert(args.begin(), "./vardo");
    test::RunOptions o;
    o.env = {"TZ=UTC"};
    return tool.run(args, o);
  }
  std::string heading = "compressed  uncompr. ratio uncompressed_name\n";
  // The last line of the listing of an archive built before archives carried a digest.
  std::string none = " Digest: none: the archive was built without one\n";
  std::string header_lines(const std::string &features, const std::string &comment = "c",
                           const std::string &run = "", const std::string &extract = "") {
    std::string s = features.empty() ? "" : "Feature: " + features + "\n";
    return s + "Comment: " + comment + "\n    Run: " + run +
           "\nExtract: " + (extract.empty() ? "cat > %p/%o" : extract) + "\n";
  }
  test::ToolDir tool;
};

TEST_F(Listing, WorkedExampleOfTheRatio) {
  // Find a 4000-byte input whose member, with the name data.tar, is exactly 1000 bytes long.
  std::string data;
  for (size_t random_tail = 0; random_tail < 2000 && data.empty(); ++random_tail) {
    std::string candidate =
        std::string(4000 - random_tail, 'a') + test::random_bytes(random_tail, 9);
    if (gzip_member(candidate, "data.tar").size() == 1000)
      data = candidate;
  }
  ASSERT_FALSE(data.empty());
  tool.make_archive("a.run", "NAME=data.tar", "c", "", "", gzip_member(data, "data.tar"));
  auto r = list({"-l", "./a.run"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, header_lines("NAME=data.tar") + heading +
                       "     1000      4000  75.6% data.tar\n" + none);
}

TEST_F(Listing, BuiltArchiveAndVerboseColumns) {
  std::string data = test::text_bytes(100000, 1);
  test::write_file(tool / "data.txt", data);
  test::RunOptions o;
  o.stdout_path = tool / "a.run";
  ASSERT_EQ(tool.run({"./vardo", "-C", "Demo", "-r", "sh ./i.sh", "-f", "tar xf -", "data.txt"}, o)
                .status,
            0);
  std::string archive = test::read_file(tool / "a.run");
  std::string items = "VARDO_TRAILER,VARDO_USIZE=100000,NAME=data.txt";
  size_t length = archive.size() - 78; // the trailer, unsigned
  size_t payload = length - (tool.tool_bytes().size() + 11 + items.size() + 1 + 5 + 10 + 9);
  // The same zlib, level and name give the same bytes, and the block record 14 more (XLEN and
  // its 12 bytes); the ratio leaves out the header (41 bytes with the trailer).
  std::string m = gzip_member(data, "data.txt");
  ASSERT_EQ(m.size() + 14, payload);
  int32_t num = 100000 - static_cast<int32_t>(payload - 41);
  auto r = list({"-l", "./a.run"});
  EXPECT_EQ(r.status, 0);
  std::string expected_ratio = [&] {
    char b[16];
    snprintf(b, sizeof b, " %2d.%1d%%", num * 1000 / 100000 / 10, num * 1000 / 100000 % 10);
    return std::string(b);
  }();
  char stats[200];
  snprintf(stats, sizeof stats, "%9ld %9ld %s data.txt\n", static_cast<long>(payload), 100000L,
           expected_ratio.c_str());
  std::string lines = header_lines(items, "Demo", "sh ./i.sh", "tar xf -");
  std::string digest = " Digest: sha256 " + test::sha256sum_hex(archive.substr(0, length)) +
                       " of the first " + std::to_string(length) + " bytes, checked\n";
  EXPECT_EQ(r.out, lines + heading + stats + digest);
  r = list({"-l", "-v", "./a.run"});
  char crc[16];
  snprintf(crc, sizeof crc, "%08x", test::zlib_crc(data));
  EXPECT_EQ(r.out, lines + "method  crc     date  time  " + heading + "defla " + crc +
                       " Jan  1 00:00 " + stats + digest);
  // -c does not change the name shown.
  EXPECT_EQ(list({"-l", "-c", "./a.run"}).out, lines + heading + stats + digest);
}

// -v's CRC is that of the last input as a whole, its blocks' CRCs combined: as the CRC of the
// one member an input used to be.
TEST_F(Listing, VerboseCrcIsTheLastInputsWhole) {
  std::string a = test::random_bytes(100000, 5), b = test::text_bytes(3 * (1 << 20) + 10, 6);
  test::write_file(tool / "a", a);
  test::write_file(tool / "b", b);
  test::RunOptions o;
  o.stdout_path = tool / "b.run";
  ASSERT_EQ(tool.run({"./vardo", "b"}, o).status, 0);
  o.stdout_path = tool / "ab.run";
  ASSERT_EQ(tool.run({"./vardo", "a", "b"}, o).status, 0);
  o.stdout_path = tool / "ba.run";
  ASSERT_EQ(tool.run({"./vardo", "b", "a"}, o).status, 0);
  for (const auto &[archive, crc] : {std::pair{"./b.run", test::zlib_crc(b)},
                                     {"./ab.run", test::zlib_crc(b)},
                                     {"./ba.run", test::zlib_crc(a)}}) {
    auto r = list({"-l", "-v", archive});
    EXPECT_EQ(r.status, 0) << r.err;
    char column[16];
    snprintf(column, sizeof column, "defla %08x ", crc);
    EXPECT_NE(r.out.find(column), std::string::npos) << archive << "\n" << r.out;
  }
}

TEST_F(Listing, MtimeNoNameAndNegativeRatio) {
  std::string noise = test::random_bytes(1000, 2);
  tool.make_archive("a.run", "", "", "", "", gzip_member(noise, nullptr, 1700000000));
  auto r = list({"-l", "-v", "./a.run"});
  EXPECT_EQ(r.status, 0);
  std::string m = gzip_member(noise, nullptr);
  int32_t deflated = static_cast<int32_t>(m.size()) - 18;
  int32_t ratio = (1000 - deflated) * 1000 / 1000;
  ASSERT_LT(ratio, 0);
  char stats[200];
  snprintf(stats, sizeof stats, "defla %08x Nov 14 22:13 %9ld %9ld -%2d.%1d%% stdout\n",
           test::zlib_crc(noise), static_cast<long>(m.size()), 1000L, -ratio / 10, -ratio % 10);
  EXPECT_EQ(r.out, "Comment: \n    Run: \nExtract: cat > %p/%o\nmethod  crc     date  time  " +
                       heading + stats + none);
}

TEST_F(Listing, EmptyMemberGivesRatioZero) {
  tool.make_archive("a.run", "NAME=e", "c", "", "", gzip_member("", "e"));
  auto r = list({"-l", "./a.run"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, header_lines("NAME=e") + heading + "       22         0   0.0% e\n" + none);
}

TEST_F(Listing, RawArchiveHasNoStatistics) {
  tool.make_archive("r.run", "NOCOMPR,NAME=x", "c", "", "", "raw bytes");
  auto r = list({"-l", "./r.run"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, header_lines("NOCOMPR,NAME=x") +
                       "Statistics unavailable because data was not compressed\n" + none);
}

TEST_F(Listing, SeveralArchivesShareOneHeading) {
  tool.make_archive("r.run", "NOCOMPR", "raw", "", "", "x");
  tool.make_archive("a.run", "NAME=a", "first", "", "", gzip_member("aaaa", "a"));
  tool.make_archive("b.run", "NAME=b", "second", "", "", gzip_member("bbbbbbbb", "b"));
  auto r = list({"-l", "./r.run", "./a.run", "./missing", "./b.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./missing: No such file or directory\n"
                   "./missing: unable to find preamble magic value\n");
  EXPECT_EQ(r.out, header_lines("NOCOMPR", "raw") +
                       "Statistics unavailable because data was not compressed\n" + none +
                       header_lines("NAME=a", "first") + heading +
                       "       26         4 -50.0% a\n" + none + header_lines("NAME=b", "second") +
                       "       25         8  37.5% b\n" + none);
}

TEST_F(Listing, WhichFileIsListed) {
  // The plain tool lists itself and fails.
  auto r = list({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "./vardo: unable to find preamble magic value\n");
  // An archive lists itself and ignores operands; so does -u with an archive operand.
  tool.make_archive("a.run", "NAME=a", "c", "", "", gzip_member("aaaa", "a"));
  r = tool.run({"./a.run", "-l", "./vardo", "./other"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, header_lines("NAME=a") + heading + "       26         4 -50.0% a\n" + none);
  // With -u the operands are listed, whichever way the options are written.
  for (std::vector<std::string> args : {std::vector<std::string>{"-l", "-u"}, {"-lu"}, {"-ul"}}) {
    args.insert(args.begin(), "./vardo");
    args.push_back("./a.run");
    r = tool.run(args);
    EXPECT_EQ(r.status, 0) << args[1] << ": " << r.err;
    EXPECT_EQ(r.out, header_lines("NAME=a") + heading + "       26         4 -50.0% a\n" + none);
  }
}

TEST_F(Listing, UntrustedFilesEndWithAMessage) {
  std::string good = gzip_member(test::text_bytes(50000, 3), "g");
  tool.make_archive("ok.run", "", "c", "", "", gzip_member("fine", "ok"));
  test::write_file(tool / "plain", "not an archive at all", 0755);
  struct Case {
    std::string what, payload, message;
    bool next_listed;
  };
  const std::string eof = "\n./vardo: ./bad.run: unexpected end of file\n";
  std::vector<Case> cases = {
      {"empty payload", "", eof, false},
      {"cut in the header", good.substr(0, 6), eof, false},
      {"cut in the data", good.substr(0, good.size() / 2), eof, false},
      {"cut in the trailer", good.substr(0, good.size() - 3), eof, false},
      {"zip bytes", "PK\x03\x04", "./vardo: can only handle GZIP compression method\n", true},
      {"long name", gzip_member("x", std::string(1024, 'n').c_str()),
       "\n./vardo: ./bad.run: corrupted input -- file name too large\n", false},
  };
  for (const auto &c : cases) {
    tool.make_archive("bad.run", "", "c", "", "", c.payload);
    auto r = list({"-l", "./bad.run", "./ok.run"});
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, c.message) << c.what;
    EXPECT_EQ(r.out.find("ok") != std::string::npos, c.next_listed) << c.what;
  }
  // A truncated header block leaves an empty payload.
  std::string whole = test::archive_bytes(tool.tool_bytes(), "NAME=x", "comment", "", "", good);
  test::write_file(tool / "bad.run", whole.substr(0, tool.tool_bytes().size() + 15), 0755);
  auto r = list({"-l", "./bad.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, eof);
  // A header string over 1023 characters.
  tool.make_archive("bad.run", "", std::string(1500, 'c'), "", "", good);
  r = list({"-l", "./bad.run", "./ok.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: ./bad.run: header string longer than 1023 characters\n"
                   "./bad.run: unable to find preamble magic value\n");
  EXPECT_NE(r.out.find(" ok\n"), std::string::npos);
  // Not an archive.
  r = list({"-l", "./plain"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./plain: unable to find preamble magic value\n");
}

// A member of 2^31 + 10 zero bytes: the sizes show as the signed 32-bit values they wrap to. Its
// DEFLATE stream is one piece of a mebibyte of zeros, flushed so that it stands alone, repeated
// 2048 times and ended by ten more zeros; its CRC is combined from the pieces', so the test
// deflates 1 MiB, not 2 GiB. (The 32-bit arithmetic of the ratio itself is tested on its own
// above, down to the quotient that traps in 32-bit division.)
TEST_F(Listing, SizesOfTwoGibibytesShowNegative) {
  const size_t mib = 1 << 20;
  auto deflate_zeros = [](size_t n, int flush) {
    z_stream z = {};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string zeros(n, '\0'), out(n / 100 + 1024, '\0');
    z.next_in = reinterpret_cast<Bytef *>(zeros.data());
    z.avail_in = static_cast<uInt>(n);
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
  };
  auto zeros_crc = [](size_t n) {
    std::string zeros(n, '\0');
    return crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(zeros.data()),
                 static_cast<uInt>(n));
  };
  std::string piece = deflate_zeros(mib, Z_FULL_FLUSH);
  std::string m = std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03"
                              "z\0",
                              12);
  uLong crc = crc32(0, nullptr, 0), piece_crc = zeros_crc(mib);
  for (int i = 0; i < 2048; ++i) {
    m += piece;
    crc = crc32_combine(crc, piece_crc, mib);
  }
  m += deflate_zeros(10, Z_FINISH);
  crc = crc32_combine(crc, zeros_crc(10), 10);
  uint64_t total = (uint64_t{1} << 31) + 10;
  m += le32(static_cast<uint32_t>(crc)) + le32(static_cast<uint32_t>(total));
  tool.make_archive("z.run", "", "c", "", "", m);
  auto r = list({"-l", "./z.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The ratio's numerator wraps too: 2^31 + 10 less the deflated bytes, read as signed.
  auto uncompressed = static_cast<int32_t>(static_cast<uint32_t>(total));
  int32_t numerator = static_cast<int32_t>(static_cast<uint32_t>(total) - (m.size() - 20));
  char stats[100];
  snprintf(stats, sizeof stats, "%9ld %9ld %s z\n", static_cast<long>(m.size()),
           static_cast<long>(uncompressed), ratio_text(numerator, uncompressed).c_str());
  EXPECT_EQ(uncompressed, -2147483638);
  EXPECT_EQ(r.out, header_lines("") + heading + stats + none);
}

// The header strings and the stored name are what a user inspects before trusting an archive: on
// a terminal their control characters are shown escaped, through a pipe the bytes stay.
TEST_F(Listing, ControlCharactersAreEscapedOnATerminal) {
  std::string comment = "safe\n    Run: ./install.sh\033[8m";
  // A backslash is doubled on a terminal, so that it never reads as one of the escapes.
  std::string run = "touch PWNED #\r\033[2K    ./install.sh \\n";
  // UTF-8 text passes, but not a C1 control (CSI, in UTF-8 or as a bare byte), a mark that turns
  // the text's direction round, a line separator, a zero-width space, a byte-order mark or a
  // tag character, or bytes that are not UTF-8.
  std::string extract = "tar xf -\x01 "
                        "\xc3\xa9\xc2\x9b\x9b\xe2\x80\xae\xe2\x80\xa8\xe2\x80\x8b\xef\xbb\xbf"
                        "\xf3\xa0\x81\xa1\xf0\x9f\x98\x80\xe2\x82";
  tool.make_archive("a.run", "NAME=a\x7f", comment, run, extract, gzip_member("aaaa", "a\tb\x1b"));
  auto piped = list({"-l", "./a.run"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, header_lines("NAME=a\x7f", comment, run, extract) + heading +
                           "       29         4 -50.0% a\tb\x1b\n" + none);
  test::RunOptions o;
  o.terminal = true;
  o.env = {"LC_ALL=C.UTF-8"};
  auto shown = tool.run({"./vardo", "-l", "./a.run"}, o);
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, header_lines("NAME=a\\177", "safe\\n    Run: ./install.sh\\033[8m",
                                    "touch PWNED #\\r\\033[2K    ./install.sh \\\\n",
                                    "tar xf -\\001 \xc3\xa9\\302\\233\\233\\342\\200\\256"
                                    "\\342\\200\\250\\342\\200\\213\\357\\273\\277\\363\\240"
                                    "\\201\\241\xf0\x9f\x98\x80\\342\\202") +
                           heading + "       29         4 -50.0% a\tb\\033\n" + none);
  // Where the terminal does not read UTF-8, every byte above 0x7F is escaped.
  o.env = {"LC_ALL=", "LC_CTYPE=", "LANG=en_US.ISO-8859-1"};
  shown = tool.run({"./vardo", "-l", "./a.run"}, o);
  EXPECT_NE(shown.out.find("tar xf -\\001 \\303\\251\\302\\233\\233\\342\\200\\256\\342\\200"
                           "\\250\\342\\200\\213\\357\\273\\277\\363\\240\\201\\241\\360\\237"
                           "\\230\\200\\342\\202\n"),
            std::string::npos)
      << shown.out;
}

TEST_F(Listing, OutputThatCannotBeWrittenIsAFailure) {
  tool.make_archive("a.run", "NAME=a", "c", "", "", gzip_member("aaaa", "a"));
  test::RunOptions o;
  o.stdout_path = "/dev/full";
  auto r = tool.run({"./vardo", "-l", "./a.run"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\n./vardo: stdout: No space left on device\n");
}

TEST_F(Listing, ManyArchivesWithFewDescriptors) {
  tool.make_archive("a.run", "NAME=a", "c", "", "", gzip_member("aaaa", "a"));
  std::string operands;
  for (int i = 0; i < 70; ++i)
    operands += " ./a.run";
  auto r = tool.run({"sh", "-c", "ulimit -n 32 && exec ./vardo -l" + operands});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string one = header_lines("NAME=a") + "       26         4 -50.0% a\n" + none;
  std::string all = header_lines("NAME=a") + heading + "       26         4 -50.0% a\n" + none;
  for (int i = 1; i < 70; ++i)
    all += one;
  EXPECT_EQ(r.out, all);
}

TEST_F(Listing, MembersWrittenOneByOneShowTheirTotal) {
  std::string a = test::text_bytes(90000, 12), b = test::text_bytes(40000, 13);
  // Each member carries its own length, as `gzip -c a > p; gzip -c b >> p` writes them.
  std::string payload = gzip_member(a, "a") + gzip_member(b, "b");
  tool.make_archive("p.run", "NAME=a", "c", "", "", payload);
  auto r = list({"-l", "./p.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  char stats[100];
  int32_t num = 130000 - static_cast<int32_t>(payload.size() - 20);
  snprintf(stats, sizeof stats, "%9zu %9d  %2d.%1d%% a\n", payload.size(), 130000,
           num * 1000 / 130000 / 10, num * 1000 / 130000 % 10);
  EXPECT_EQ(r.out, header_lines("NAME=a") + heading + stats + none);
}

} // namespace
} // namespace vardo

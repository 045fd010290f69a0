// Truncation and corruption sweep: a small archive, gzip and raw, cut at every offset after the
// preamble and with bits flipped in its header block, gzip header, member trailer, archive trailer
// and a sample of its DEFLATE data, listed and extracted, and extracted with -i, which leaves the
// flips of the payload to the gzip reader. Every case must end with status 0 or 1 (and, when 1,
// one of the system's messages), never a signal or a hang, and never status 0 with wrong output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/process.h"
#include "support/tool.h"

namespace vardo {
namespace {

const char *const kMessages[] = {
    "unexpected end of file",
    "invalid compressed data--format violated",
    "invalid compressed data--crc error",
    "invalid compressed data--length error",
    "can only handle GZIP compression method",
    "-- get newer version of gzip",
    "corrupted input -- file name too large",
    "unable to find preamble magic value",
    "unknown compression method",
    "header string longer than 1023 characters",
    "the payload is empty",
    "not a size in bytes",
    "the archive is not whole",
    "the archive's digest does not match its bytes",
};

// The unsigned trailer that ends every archive the tool builds.
constexpr size_t kTrailer = 78;

#ifdef VARDO_SANITIZED
// Under the sanitizers a run costs many times more: every kind of cut and flip is still made,
// every byte of the header block, the gzip header and the trailer cut and flipped, but the
// DEFLATE data and a raw payload are cut at every 17th offset, and each byte has one of its bits
// flipped (bit `offset % 8`, so that every bit position is flipped somewhere).
constexpr size_t kDataStride = 17;
constexpr bool kEveryBit = false;
#else
constexpr size_t kDataStride = 1;
constexpr bool kEveryBit = true;
#endif

class Sweep : public ::testing::Test {
protected:
  void SetUp() override {
    // A tiny preamble keeps every case file small; the plain tool reads them with -u.
    test::write_file(tool / "tiny", "#!/bin/sh\nexit 0\n", 0755);
    input = test::text_bytes(1500, 42);
    test::write_file(tool / "data.txt", input);
  }
  std::string build(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"./vardo", "-p", "./tiny", "-C", "sweep", "-r", "false"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("data.txt");
    test::RunOptions o;
    o.stdout_path = tool / "built.run";
    EXPECT_EQ(tool.run(args, o).status, 0);
    return test::read_file(tool / "built.run");
  }
  // Flips each sampled bit of the byte at `at`, checking each case.
  void flip_bits(const std::string &archive, size_t at, const std::string &expected_output,
                 bool digest_only = false) {
    for (int bit = 0; bit < 8; ++bit) {
      if (!kEveryBit && bit != static_cast<int>(at % 8))
        continue;
      std::string flipped = archive;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      check(flipped, "bit " + std::to_string(bit) + " of byte " + std::to_string(at),
            expected_output, digest_only);
    }
  }
  // Lists and extracts one case, and extracts it with -i unless `digest_only`, where the digest
  // alone can tell a changed byte. `expected_output` is what a successful -x must print.
  void check(const std::string &bytes, const std::string &what, const std::string &expected_output,
             bool digest_only = false) {
    test::write_file(tool / "case.run", bytes, 0644);
    for (const char *mode : {"-l", "-x", "-ix"}) {
      if (digest_only && mode[1] == 'i')
        continue;
      std::vector<std::string> args = {"./vardo"};
      bool list = mode[1] == 'l';
      if (!list)
        args.push_back("-u");
      args.push_back(mode);
      args.push_back("./case.run");
      auto r = tool.run(args);
      ++cases;
      std::string label = what + " " + mode;
      ASSERT_TRUE(r.status == 0 || r.status == 1) << label << ": status " << r.status << "\n"
                                                  << r.err;
      if (r.status == 1) {
        bool known = false;
        for (const char *m : kMessages)
          known = known || r.err.find(m) != std::string::npos;
        EXPECT_TRUE(known) << label << ": " << r.err;
      } else if (!list) {
        EXPECT_TRUE(r.out == expected_output) << label << ": status 0 with other output";
      }
    }
  }
  test::ToolDir tool;
  std::string input;
  int cases = 0;
};

TEST_F(Sweep, GzipArchive) {
  std::string archive = build({});
  size_t preamble = test::read_file(tool / "tiny").size();
  size_t payload = archive.find(std::string("\x1f\x8b\x08\x0c", 4), preamble);
  ASSERT_NE(payload, std::string::npos);
  size_t name_end = archive.find('\0', payload + 24); // after the block record
  size_t member_end = archive.size() - kTrailer;
  for (size_t cut = preamble;
       cut<archive.size(); cut += cut> name_end && cut < member_end - 8 ? kDataStride : 1)
    check(archive.substr(0, cut), "cut at " + std::to_string(cut), input);
  std::vector<size_t> bytes;
  for (size_t at = preamble; at <= name_end; ++at) // header block and gzip header
    bytes.push_back(at);
  for (size_t at = member_end - 8; at < archive.size(); ++at) // member and archive trailers
    bytes.push_back(at);
  for (size_t at = name_end + 1; at < member_end - 8; at += 13) // DEFLATE sample
    bytes.push_back(at);
  for (size_t at : bytes)
    flip_bits(archive, at, input);
  printf("gzip archive sweep: %d runs\n", cases);
}

TEST_F(Sweep, RawArchive) {
  std::string archive = build({"-a"});
  size_t preamble = test::read_file(tool / "tiny").size();
  size_t payload = archive.size() - kTrailer - input.size();
  // A raw payload carries no checksum of its own: the archive's length finds every cut, and its
  // digest every flipped bit of the payload, which -i does not check.
  for (size_t cut = preamble; cut < archive.size(); cut += cut < payload ? 1 : 7 * kDataStride)
    check(archive.substr(0, cut), "cut at " + std::to_string(cut), "");
  for (size_t at = preamble; at < payload; ++at)
    flip_bits(archive, at, input);
  for (size_t at = payload; at < archive.size(); at += at < archive.size() - kTrailer ? 11 : 1)
    flip_bits(archive, at, input, true);
  printf("raw archive sweep: %d runs\n", cases);
}

} // namespace
} // namespace vardo

#include "archive/header.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "lib/process.h"
#include "support/fork.h"

namespace vardo {
namespace {

const std::string kMagic(make_magic(), kMagicSize);

class OpenArchive : public ::testing::Test {
protected:
  void SetUp() override { process.program_name = "vardo"; }
  // Writes the bytes to a file named with a leading "./" path and opens it as an archive.
  int open_bytes(const std::string &bytes) {
    path_ = dir_ / "archive";
    test::write_file(path_, bytes, 0755);
    return open_archive(h, path_.c_str(), nullptr);
  }
  // A stream writing to `fd`, for write_preamble.
  StreamState &stream_to(int fd) {
    stream_->out_fd = fd;
    return *stream_;
  }
  test::TempDir dir_;
  std::string path_;
  ArchiveHeader h;
  std::unique_ptr<StreamState> stream_ = std::make_unique<StreamState>();
};

TEST_F(OpenArchive, MagicSplitAcrossTwoReads) {
  std::string preamble(8191 - 5, 'p');
  int fd = open_bytes(test::archive_bytes(preamble, "NAME=a", "c", "r", "e", "DATA"));
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(h.features, "NAME=a");
  EXPECT_STREQ(h.comment, "c");
  EXPECT_STREQ(h.run_command, "r");
  EXPECT_STREQ(h.extract_command, "e");
  EXPECT_EQ(h.payload_offset, static_cast<int32_t>(preamble.size() + 11 + 7 + 2 + 2 + 2));
  char buf[8] = {};
  EXPECT_EQ(read(fd, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "DATA");
  close(fd);
}

TEST_F(OpenArchive, MatchingDoesNotRestartOnTheBreakingByte) {
  // "v" twice then the other ten bytes: no match there.
  std::string doubled = "v" + kMagic;
  int fd = open_bytes("xx" + doubled.substr(0, 1) + "v" + kMagic.substr(1) + "zz");
  EXPECT_EQ(fd, -1);
  // The first four bytes directly followed by the whole magic: no match either.
  fd = open_bytes(kMagic.substr(0, 4) + kMagic + "tail");
  EXPECT_EQ(fd, -1);
  // A later complete occurrence is still found.
  fd = open_bytes(kMagic.substr(0, 4) + kMagic + "--" + kMagic + "F" + std::string(4, '\0') + "P");
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(h.features, "F");
  EXPECT_EQ(h.payload_offset, static_cast<int32_t>(4 + 11 + 2 + 11 + 5));
  close(fd);
}

TEST_F(OpenArchive, FirstOccurrenceWins) {
  std::string inner = test::archive_bytes("", "INNER", "", "", "", "");
  int fd = open_bytes(test::archive_bytes("pre", "OUTER", "", "", "", inner));
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(h.features, "OUTER");
  close(fd);
}

TEST_F(OpenArchive, FileEndingRightAfterTheMagic) {
  strcpy(h.comment, "stale");
  int fd = open_bytes("preamble" + kMagic);
  ASSERT_GE(fd, 0);
  EXPECT_STREQ(h.features, "");
  EXPECT_STREQ(h.comment, "");
  EXPECT_STREQ(h.run_command, "");
  EXPECT_STREQ(h.extract_command, "");
  EXPECT_EQ(h.payload_offset, 19);
  close(fd);
}

TEST_F(OpenArchive, AllStringsEmptyGiveFifteenBytes) {
  int fd = open_bytes(test::archive_bytes("0123456789", "", "", "", "", "payload"));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(h.payload_offset, 10 + 15);
  close(fd);
}

TEST_F(OpenArchive, NoMagicAndMissingFile) {
  EXPECT_EQ(open_bytes("just some bytes"), -1);
  auto r =
      test::run_forked([&] { exit(open_archive(h, "./no/such/file", nullptr) == -1 ? 0 : 2); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "./no/such/file: No such file or directory\n");
}

TEST_F(OpenArchive, OverlongHeaderStringIsRefused) {
  std::string ok(1023, 'c');
  int fd = open_bytes(test::archive_bytes("p", "", ok, "", "", "x"));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(strlen(h.comment), 1023u);
  close(fd);
  std::string path = path_;
  auto r = test::run_forked([&] {
    test::write_file(path, test::archive_bytes("p", "", std::string(1024, 'c'), "", "", "x"), 0755);
    int before = dup(0);
    int got = open_archive(h, path.c_str(), nullptr);
    int after = dup(0); // no descriptor was left open
    exit(got == -1 && after == before + 1 && h.comment[0] == '\0' ? 0 : 2);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "vardo: " + path + ": header string longer than 1023 characters\n");
}

TEST_F(OpenArchive, WritePreambleLaysOutTheHeaderBlock) {
  test::write_file(dir_ / "pre", "#!preamble\n", 0755);
  strcpy(h.features, "NAME=a.txt");
  strcpy(h.comment, "Self-Extracting archive file");
  int out = open((dir_ / "out").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write_preamble(h, (dir_ / "pre").c_str(), stream_to(out)), 0);
  close(out);
  std::string expected =
      test::archive_bytes("#!preamble\n", "NAME=a.txt", "Self-Extracting archive file", "", "", "");
  EXPECT_EQ(test::read_file(dir_ / "out"), expected);
  EXPECT_EQ(expected.size(), 11u + 53u);
}

TEST_F(OpenArchive, WritePreambleFailures) {
  std::string missing = dir_ / "missing";
  auto r = test::run_forked(
      [&] { exit(write_preamble(h, missing.c_str(), stream_to(1)) == -1 ? 0 : 2); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "vardo: unable to find vardo to build preamble\n");
  EXPECT_EQ(r.out, "");

  std::string unreadable = dir_ / "dir";
  mkdir(unreadable.c_str(), 0755); // executable (searchable) but cannot be read as a file
  r = test::run_forked(
      [&] { exit(write_preamble(h, unreadable.c_str(), stream_to(1)) == -1 ? 0 : 2); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, unreadable + ": Is a directory\n");

  // A preamble that holds the magic, or ends in the middle of a match, would hide the header from
  // every reader; one that ends with bytes a reader has already let go of does not. One of 2 GiB
  // would put the payload past what the header's offset holds.
  std::string big = dir_ / "big";
  test::write_file(big, "");
  ASSERT_EQ(truncate(big.c_str(), INT32_MAX - kHeaderBlockSize + 1), 0);
  struct Case {
    std::string bytes; // the preamble, or empty for the sparse one of 2 GiB
    const char *refusal;
  } cases[] = {
      {"#!preamble\n" + kMagic.substr(0, 1), "holds the magic value, or ends with its beginning"},
      {"#!preamble\n" + kMagic.substr(0, 4), "holds the magic value, or ends with its beginning"},
      {"#!preamble\n" + kMagic.substr(0, 10), "holds the magic value, or ends with its beginning"},
      {"#!pre" + kMagic + "amble\n" + std::string(9000, 'x'),
       "holds the magic value, or ends with its beginning"},
      {std::string(8190, 'x') + kMagic, "holds the magic value, or ends with its beginning"},
      {"#!preamble\nvvard", nullptr}, // the second v broke the match: the magic is found after
      {"", "is too large (2 GiB or more)"},
  };
  for (const Case &c : cases) {
    std::string pre = dir_ / "pre";
    if (!c.bytes.empty())
      test::write_file(pre, c.bytes);
    const std::string &used = c.bytes.empty() ? big : pre;
    chmod(used.c_str(), 0755);
    r = test::run_forked([&] {
      exit(write_preamble(h, used.c_str(), stream_to(1)) == (c.refusal ? -1 : 0) ? 0 : 2);
    });
    EXPECT_EQ(r.status, 0) << c.bytes.size();
    if (!c.refusal) {
      EXPECT_EQ(r.out, c.bytes + kMagic + std::string(4, '\0'));
      continue;
    }
    EXPECT_EQ(r.err, "vardo: " + used + ": the preamble " + c.refusal +
                         (c.bytes.empty() ? "\n" : ", which would hide the header; not used\n"))
        << c.bytes.size();
  }
}

} // namespace
} // namespace vardo

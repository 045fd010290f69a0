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

  // A preamble that ends with the magic's first bytes would hide the header from every reader.
  for (size_t k : {size_t{1}, size_t{4}, size_t{10}}) {
    std::string tailed = dir_ / "tailed";
    test::write_file(tailed, "#!preamble\n" + kMagic.substr(0, k));
    chmod(tailed.c_str(), 0755);
    r = test::run_forked(
        [&] { exit(write_preamble(h, tailed.c_str(), stream_to(1)) == -1 ? 0 : 2); });
    EXPECT_EQ(r.status, 0) << k;
    EXPECT_EQ(r.err, "vardo: " + tailed +
                         ": the preamble ends with the beginning of the magic value, which would "
                         "hide the header; not used\n")
        << k;
  }
}

} // namespace
} // namespace vardo

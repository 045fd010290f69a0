#include "gzstream/gzip_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "gzstream/stream.h"
#include "lib/process.h"
#include "support/fork.h"
#include "support/gzip.h"
#include "support/recorder.h"
#include <zlib.h>

namespace vardo {
namespace {

class GzipWriter : public ::testing::Test {
protected:
  // Writes one member of `data` read from a file named `name`, into a file; returns its bytes.
  // The stream carries over from one member to the next, as in one build.
  std::string member_of(const std::string &data, const char *name) {
    std::string in = dir_ / "in", out = dir_ / "out";
    test::write_file(in, data);
    strcpy(s_->in_name, name);
    s_->in_fd = open(in.c_str(), O_RDONLY);
    s_->out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    write_gzip_member(*s_);
    close(s_->in_fd);
    close(s_->out_fd);
    return test::read_file(out);
  }
  // A new build: ISIZE counts from 0 again.
  void fresh_stream() { s_ = std::make_unique<StreamState>(); }
  test::TempDir dir_;
  std::unique_ptr<StreamState> s_ = std::make_unique<StreamState>();
};

TEST_F(GzipWriter, HeaderBytesOfTheWorkedExample) {
  std::string m = member_of("hello", "/tmp/pkg/data.tar");
  const unsigned char expected[] = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 2, 3};
  ASSERT_GE(m.size(), 19u);
  EXPECT_EQ(m.substr(0, 10), std::string(reinterpret_cast<const char *>(expected), 10));
  EXPECT_EQ(m.substr(10, 9), std::string("data.tar\0", 9));
  // zlib's raw deflate at level 9 follows the 19 header bytes, then the 8-byte trailer.
  EXPECT_EQ(m.substr(19, m.size() - 27), test::raw_deflate("hello"));
  EXPECT_EQ(m.substr(m.size() - 8), test::le32(test::zlib_crc("hello")) + test::le32(5));
  EXPECT_EQ(s_->out_count, 0u);
}

TEST_F(GzipWriter, NameWithoutSlashAndNameEndingInSlash) {
  std::string m = member_of("x", "plain.txt");
  EXPECT_EQ(m.substr(10, 10), std::string("plain.txt\0", 10));
  fresh_stream(); // ISIZE is this member's own size again
  m = member_of("x", "dir/");
  EXPECT_EQ(m[10], '\0');
  EXPECT_EQ(m.substr(11, m.size() - 19), test::raw_deflate("x"));
  EXPECT_TRUE(test::zlib_gunzip(m).ok);
}

TEST_F(GzipWriter, ZlibVerifiesMembersOfEverySize) {
  struct Input {
    const char *what;
    std::string data;
  };
  std::vector<Input> inputs = {
      {"empty", ""},
      {"one byte", "x"},
      {"8191", test::random_bytes(8191, 1)},
      {"8192", test::random_bytes(8192, 2)},
      {"8193", test::random_bytes(8193, 3)},
      {"incompressible 3 MiB", test::random_bytes(3 << 20, 4)},
      {"text 3 MiB", test::text_bytes(3 << 20, 5)},
  };
  for (const auto &input : inputs) {
    fresh_stream();
    std::string m = member_of(input.data, "f");
    auto decoded = test::zlib_gunzip(m);
    EXPECT_TRUE(decoded.ok) << input.what;
    EXPECT_EQ(decoded.consumed, m.size()) << input.what;
    EXPECT_TRUE(decoded.data == input.data) << input.what;
  }
}

TEST_F(GzipWriter, EmptyInputHasZeroCrcAndRunningSize) {
  std::string m = member_of("", "e");
  // Header (12 bytes with the name "e"), one final empty block (2 bytes), trailer.
  EXPECT_EQ(m.size(), 12u + 2u + 8u);
  EXPECT_EQ(m.substr(m.size() - 8), std::string(8, '\0'));
}

TEST_F(GzipWriter, SecondMemberCarriesTheRunningTotal) {
  std::string a = test::random_bytes(100, 8), b = test::random_bytes(50, 9);
  std::string first = member_of(a, "a");
  std::string second = member_of(b, "b");
  auto le32 = [](const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
      v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
  };
  EXPECT_EQ(le32(first, first.size() - 4), 100u);
  EXPECT_EQ(le32(second, second.size() - 4), 150u);
  uint32_t crc_b = static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef *>(b.data()), static_cast<uInt>(b.size())));
  EXPECT_EQ(le32(second, second.size() - 8), crc_b);
  // zlib's gzip reader checks ISIZE modulo 2^32 against its own count, so the second member is
  // a valid deflate stream with a CRC that matches but a length it rejects.
  auto decoded = test::zlib_gunzip(second);
  EXPECT_EQ(decoded.data, b);
}

TEST_F(GzipWriter, LeavesInWritesOf8192AndOneShorter) {
  test::WriteRecorder out;
  std::string data = test::random_bytes(50000, 11);
  test::write_file(dir_ / "in", data);
  strcpy(s_->in_name, "in");
  s_->in_fd = open((dir_ / "in").c_str(), O_RDONLY);
  s_->out_fd = out.fd();
  write_gzip_member(*s_);
  close(s_->in_fd);
  out.finish();
  const auto &sizes = out.sizes();
  ASSERT_GE(sizes.size(), 2u);
  for (size_t i = 0; i + 1 < sizes.size(); ++i)
    EXPECT_EQ(sizes[i], 8192) << "write " << i;
  EXPECT_LT(sizes.back(), 8192);
  EXPECT_GT(sizes.back(), 0);
  EXPECT_EQ(s_->bytes_out, out.data().size());
  EXPECT_EQ(test::zlib_gunzip(out.data()).data, data);
}

TEST_F(GzipWriter, ReadErrorIsReportedAndTheMemberCompleted) {
  std::string path = dir_.path();
  auto r = test::run_forked([&] {
    strcpy(s_->in_name, "somedir");
    s_->in_fd = open(path.c_str(), O_RDONLY);
    s_->out_fd = 1;
    write_gzip_member(*s_);
    fflush(stdout);
    _exit(process.exit_status);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "somedir: Is a directory\n");
  auto decoded = test::zlib_gunzip(r.out);
  EXPECT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.data, "");
}

} // namespace
} // namespace vardo

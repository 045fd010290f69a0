#include "gzstream/gzip_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "gzstream/parallel_deflate.h"
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
  void TearDown() override { set_deflate_workers(0); }
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

// Text, random bytes and zeros in turn: blocks that compress well, not at all, and to nothing.
std::string mixed_bytes(size_t n) {
  std::string s;
  for (unsigned i = 0; s.size() < n; ++i)
    s += i % 3 == 0   ? test::text_bytes(100000, i)
         : i % 3 == 1 ? test::random_bytes(200000, i)
                      : std::string(100000, '\0');
  s.resize(n);
  return s;
}

// The member's bytes depend on the input alone: the same on 1, 2 and 16 workers, and read back by
// zlib's gzip mode and by the system's gzip. An input of one block or less is one zlib stream;
// a longer one, cut into blocks, is hardly larger.
TEST_F(GzipWriter, MembersOfEverySizeOnAnyNumberOfWorkers) {
  const size_t block = kDeflateBlockSize;
  struct Input {
    const char *what;
    std::string data;
  };
  std::vector<Input> inputs = {
      {"empty", ""},
      {"one byte", "x"},
      {"8193", test::random_bytes(8193, 3)},
      {"one block less a byte", test::text_bytes(block - 1, 1)},
      {"one block", test::text_bytes(block, 2)},
      {"three blocks", mixed_bytes(3 * block)},
      {"three blocks and a byte", test::text_bytes(3 * block + 1, 6)},
      {"incompressible 3 MiB", test::random_bytes(3 << 20, 4)},
      {"mixed 5 MiB", mixed_bytes(5 << 20)},
  };
  for (const auto &input : inputs) {
    std::string first;
    for (int workers : {1, 2, 16}) {
      set_deflate_workers(workers);
      fresh_stream();
      std::string m = member_of(input.data, "f");
      if (first.empty())
        first = m;
      EXPECT_TRUE(m == first) << input.what << " on " << workers << " workers";
    }
    auto decoded = test::zlib_gunzip(first);
    EXPECT_TRUE(decoded.ok) << input.what;
    EXPECT_EQ(decoded.consumed, first.size()) << input.what;
    EXPECT_TRUE(decoded.data == input.data) << input.what;
    auto system = test::system_gunzip(first);
    EXPECT_TRUE(system.ok) << input.what;
    EXPECT_TRUE(system.data == input.data) << input.what;
    std::string deflated = first.substr(12, first.size() - 20),
                single = test::raw_deflate(input.data);
    // Without the dictionaries the blocks of text would come out 4 % larger.
    if (input.data.size() <= block)
      EXPECT_TRUE(deflated == single) << input.what;
    else
      EXPECT_LE(deflated.size(), single.size() * 1.005) << input.what;
  }
}

// The cuts fall where the input puts them, however the reads deliver it: a pipe that trickles
// gives the bytes of a file.
TEST_F(GzipWriter, TricklingInputGivesTheBytesOfAFile) {
  std::string data = mixed_bytes(kDeflateBlockSize * 2 + 5000);
  set_deflate_workers(2);
  std::string from_file = member_of(data, "f");
  fresh_stream();
  // The writer is a process of its own, so that the workers, forked from this one, do not hold
  // the pipe open.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t writer = fork();
  if (writer == 0) {
    for (size_t i = 0; i < data.size(); i += 7000) {
      size_t n = std::min<size_t>(7000, data.size() - i);
      if (write(fds[1], data.data() + i, n) != static_cast<ssize_t>(n))
        _exit(1);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out = dir_ / "out";
  strcpy(s_->in_name, "f");
  s_->in_fd = fds[0];
  s_->out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  write_gzip_member(*s_);
  close(fds[0]);
  close(s_->out_fd);
  int status = -1;
  waitpid(writer, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(test::read_file(out) == from_file);
}

// The workers are the processors this process may run on.
TEST_F(GzipWriter, WorkersFollowTheAffinityMask) {
  auto r = test::run_forked([] {
    cpu_set_t all, one;
    sched_getaffinity(0, sizeof all, &all);
    int first = 0;
    while (!CPU_ISSET(first, &all))
      ++first;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    printf("%d %d ", deflate_workers(), CPU_COUNT(&all));
    sched_setaffinity(0, sizeof one, &one);
    printf("%d ", deflate_workers());
    set_deflate_workers(16);
    printf("%d", deflate_workers());
  });
  int workers = 0, processors = 0, restricted = 0, overridden = 0;
  ASSERT_EQ(sscanf(r.out.c_str(), "%d %d %d %d", &workers, &processors, &restricted, &overridden),
            4)
      << r.out;
  EXPECT_EQ(workers, std::min(processors, kMaxDeflateWorkers));
  EXPECT_EQ(restricted, 1);
  EXPECT_EQ(overridden, 16);
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
  struct Case {
    size_t size;
    int workers;
  };
  for (Case c :
       {Case{50000, 1}, Case{3 * kDeflateBlockSize + 1, 2}, Case{3 * kDeflateBlockSize + 1, 16}}) {
    set_deflate_workers(c.workers);
    fresh_stream();
    test::WriteRecorder out;
    std::string data = test::random_bytes(c.size, 11);
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
      EXPECT_EQ(sizes[i], 8192) << "write " << i << " of " << c.size << " on " << c.workers;
    EXPECT_LT(sizes.back(), 8192);
    EXPECT_GT(sizes.back(), 0);
    EXPECT_EQ(s_->bytes_out, out.data().size());
    EXPECT_TRUE(test::zlib_gunzip(out.data()).data == data);
  }
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

  // After two blocks and a piece of a third, on two workers: a pipe that holds them, then fails
  // the next read (EAGAIN: nothing more, and it does not wait).
  std::string data = mixed_bytes(2 * kDeflateBlockSize + 5000);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(data.size()));
  ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  set_deflate_workers(2);
  r = test::run_forked([&] {
    strcpy(s_->in_name, "pipe");
    s_->in_fd = fds[0];
    s_->out_fd = 1;
    write_gzip_member(*s_);
    fflush(stdout);
    _exit(process.exit_status);
  });
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pipe: Resource temporarily unavailable\n");
  decoded = test::zlib_gunzip(r.out);
  EXPECT_TRUE(decoded.ok);
  EXPECT_TRUE(decoded.data == data);
}

} // namespace
} // namespace vardo

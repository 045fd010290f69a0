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
#include "gzstream/workers.h"
#include "lib/process.h"
#include "support/fork.h"
#include "support/gzip.h"
#include "support/recorder.h"

namespace vardo {
namespace {

// One member as the writer lays it out, read by hand: its block record, stored name and data.
struct Member {
  bool ok = false;
  uint32_t recorded_length = 0, recorded_size = 0;
  std::string name; // empty without FNAME
  bool named = false;
  std::string bytes; // the whole member
  std::string data;  // what zlib's gzip mode decodes it to
};

uint32_t le32_at(const std::string &s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
  return v;
}

// Splits the members of `payload` by their records, each checked against zlib's reading of it.
std::vector<Member> members(const std::string &payload) {
  std::vector<Member> out;
  for (size_t at = 0; at < payload.size();) {
    Member m;
    std::string rest = payload.substr(at);
    auto z = test::zlib_gunzip(rest);
    if (rest.size() < 24 || rest.substr(0, 3) != "\x1f\x8b\x08" ||
        rest.substr(10, 6) != std::string("\x0c\0VB\x08\0", 6) || !z.ok)
      return out;
    m.named = rest[3] & 0x08;
    m.recorded_length = le32_at(rest, 16);
    m.recorded_size = le32_at(rest, 20);
    if (m.named)
      m.name = rest.substr(24, rest.find('\0', 24) - 24);
    m.bytes = rest.substr(0, z.consumed);
    m.data = z.data;
    m.ok = m.recorded_length == z.consumed && m.recorded_size == z.data.size() &&
           le32_at(m.bytes, m.bytes.size() - 4) == z.data.size();
    out.push_back(m);
    at += z.consumed;
  }
  return out;
}

class GzipWriter : public ::testing::Test {
protected:
  // Writes the members of `data` read from a file named `name`, into a file; returns their bytes.
  std::string member_of(const std::string &data, const char *name) {
    std::string in = dir_ / "in", out = dir_ / "out";
    test::write_file(in, data);
    strcpy(s_->in_name, name);
    s_->in_fd = open(in.c_str(), O_RDONLY);
    s_->out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    write_gzip_members(*s_);
    close(s_->in_fd);
    close(s_->out_fd);
    return test::read_file(out);
  }
  void fresh_stream() { s_ = std::make_unique<StreamState>(); }
  void TearDown() override { set_worker_count(0); }
  test::TempDir dir_;
  std::unique_ptr<StreamState> s_ = std::make_unique<StreamState>();
};

TEST_F(GzipWriter, HeaderBytesOfTheWorkedExample) {
  std::string m = member_of("hello", "/tmp/pkg/data.tar");
  std::string deflated = test::raw_deflate("hello");
  // FLG 0x0C: an extra field and a name; MTIME 0, XFL 2, OS 3; XLEN 12: the block record "VB" of
  // 8 bytes, the member's length and the block's.
  std::string expected = std::string("\x1f\x8b\x08\x0c\0\0\0\0\x02\x03\x0c\0VB\x08\0", 16) +
                         test::le32(static_cast<uint32_t>(24 + 9 + deflated.size() + 8)) +
                         test::le32(5) + std::string("data.tar\0", 9) + deflated +
                         test::le32(test::zlib_crc("hello")) + test::le32(5);
  EXPECT_TRUE(m == expected);
  EXPECT_EQ(s_->out_count, 0u);
}

TEST_F(GzipWriter, NameWithoutSlashAndNameEndingInSlash) {
  std::string m = member_of("x", "plain.txt");
  EXPECT_EQ(m.substr(24, 10), std::string("plain.txt\0", 10));
  m = member_of("x", "dir/");
  EXPECT_EQ(m[24], '\0');
  EXPECT_EQ(m.substr(25, m.size() - 33), test::raw_deflate("x"));
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

// The members depend on the input alone: the same on 1, 2 and 16 workers, and read back by zlib's
// gzip mode member by member and by the system's gzip whole. Each holds one block, compressed on
// its own (an input of one block or less is one zlib stream), with a record of its length and
// its block's that zlib agrees with; only the first carries the name.
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
      set_worker_count(workers);
      std::string m = member_of(input.data, "f");
      if (first.empty())
        first = m;
      EXPECT_TRUE(m == first) << input.what << " on " << workers << " workers";
    }
    std::vector<Member> split = members(first);
    size_t blocks = input.data.empty() ? 1 : (input.data.size() + block - 1) / block;
    ASSERT_EQ(split.size(), blocks) << input.what;
    size_t total = 0;
    for (size_t i = 0; i < split.size(); ++i) {
      const Member &m = split[i];
      EXPECT_TRUE(m.ok) << input.what << " member " << i;
      EXPECT_EQ(m.named, i == 0) << input.what << " member " << i;
      EXPECT_TRUE(m.data == input.data.substr(i * block, block)) << input.what << " member " << i;
      total += m.bytes.size();
    }
    EXPECT_EQ(total, first.size()) << input.what;
    EXPECT_EQ(split[0].name, "f");
    auto system = test::system_gunzip(first);
    EXPECT_TRUE(system.ok) << input.what;
    EXPECT_TRUE(system.data == input.data) << input.what;
    if (input.data.size() <= block) {
      EXPECT_TRUE(first.substr(26, first.size() - 34) == test::raw_deflate(input.data))
          << input.what;
    }
  }
}

// The cuts fall where the input puts them, however the reads deliver it: a pipe that trickles
// gives the bytes of a file.
TEST_F(GzipWriter, TricklingInputGivesTheBytesOfAFile) {
  std::string data = mixed_bytes(kDeflateBlockSize * 2 + 5000);
  set_worker_count(2);
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
  write_gzip_members(*s_);
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
    printf("%d %d ", worker_count(), CPU_COUNT(&all));
    sched_setaffinity(0, sizeof one, &one);
    printf("%d ", worker_count());
    set_worker_count(16);
    printf("%d", worker_count());
  });
  int workers = 0, processors = 0, restricted = 0, overridden = 0;
  ASSERT_EQ(sscanf(r.out.c_str(), "%d %d %d %d", &workers, &processors, &restricted, &overridden),
            4)
      << r.out;
  EXPECT_EQ(workers, std::min(processors, kMaxWorkers));
  EXPECT_EQ(restricted, 1);
  EXPECT_EQ(overridden, 16);
}

TEST_F(GzipWriter, EmptyInputHasZeroCrcAndSize) {
  std::string m = member_of("", "e");
  // Header (26 bytes with the name "e"), one final empty block (2 bytes), trailer.
  EXPECT_EQ(m.size(), 26u + 2u + 8u);
  EXPECT_EQ(le32_at(m, 16), 36u);
  EXPECT_EQ(m.substr(m.size() - 8), std::string(8, '\0'));
}

// Every member carries its own length as ISIZE, as gzip's members do, so zlib's gzip mode takes
// the members of a second input as they stand.
TEST_F(GzipWriter, SecondInputsMembersCarryTheirOwnLength) {
  std::string a = test::random_bytes(100, 8), b = test::random_bytes(50, 9);
  std::string first = member_of(a, "a");
  std::string second = member_of(b, "b");
  EXPECT_EQ(le32_at(first, first.size() - 4), 100u);
  EXPECT_EQ(le32_at(second, second.size() - 4), 50u);
  EXPECT_EQ(le32_at(second, second.size() - 8), test::zlib_crc(b));
  auto decoded = test::zlib_gunzip(second);
  EXPECT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.data, b);
}

TEST_F(GzipWriter, LeavesInWritesOf8192AndOneShorter) {
  struct Case {
    size_t size;
    int workers;
  };
  for (Case c :
       {Case{50000, 1}, Case{3 * kDeflateBlockSize + 1, 2}, Case{3 * kDeflateBlockSize + 1, 16}}) {
    set_worker_count(c.workers);
    fresh_stream();
    test::WriteRecorder out;
    std::string data = test::random_bytes(c.size, 11);
    test::write_file(dir_ / "in", data);
    strcpy(s_->in_name, "in");
    s_->in_fd = open((dir_ / "in").c_str(), O_RDONLY);
    s_->out_fd = out.fd();
    write_gzip_members(*s_);
    close(s_->in_fd);
    out.finish();
    const auto &sizes = out.sizes();
    ASSERT_GE(sizes.size(), 2u);
    for (size_t i = 0; i + 1 < sizes.size(); ++i)
      EXPECT_EQ(sizes[i], 8192) << "write " << i << " of " << c.size << " on " << c.workers;
    EXPECT_LT(sizes.back(), 8192);
    EXPECT_GT(sizes.back(), 0);
    EXPECT_EQ(s_->bytes_out, out.data().size());
    EXPECT_TRUE(test::system_gunzip(out.data()).data == data);
  }
}

TEST_F(GzipWriter, ReadErrorIsReportedAndTheMemberCompleted) {
  std::string path = dir_.path();
  auto r = test::run_forked([&] {
    strcpy(s_->in_name, "somedir");
    s_->in_fd = open(path.c_str(), O_RDONLY);
    s_->out_fd = 1;
    write_gzip_members(*s_);
    fflush(stdout);
    _exit(process.exit_status);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "somedir: Is a directory\n");
  auto decoded = test::zlib_gunzip(r.out);
  EXPECT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.data, "");

  // After most of a block, on two workers: a pipe that holds it (a pipe holds at most 1 MiB,
  // a block), then fails the next read (EAGAIN: nothing more, and it does not wait).
  std::string data = mixed_bytes(kDeflateBlockSize - 5000);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(data.size()));
  ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  set_worker_count(2);
  r = test::run_forked([&] {
    strcpy(s_->in_name, "pipe");
    s_->in_fd = fds[0];
    s_->out_fd = 1;
    write_gzip_members(*s_);
    fflush(stdout);
    _exit(process.exit_status);
  });
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pipe: Resource temporarily unavailable\n");
  auto system = test::system_gunzip(r.out);
  EXPECT_TRUE(system.ok);
  EXPECT_TRUE(system.data == data);
}

} // namespace
} // namespace vardo

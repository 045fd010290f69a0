#include "gzstream/gzip_reader.h"

#include <csetjmp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <memory>
#include <sys/socket.h>
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

using test::le32;

// A member with the given FLG and the fields that follow the OS byte, around `data`.
std::string member(unsigned char flags, const std::string &fields, const std::string &data,
                   uint32_t mtime = 0) {
  std::string m = "\x1f\x8b\x08";
  m += static_cast<char>(flags);
  m += le32(mtime);
  m += "\x02\x03";
  return m + fields + test::raw_deflate(data) + le32(test::zlib_crc(data)) +
         le32(static_cast<uint32_t>(data.size()));
}

// A member with a block record, written by hand from the layout: FLG FEXTRA (and FNAME with a
// name), the subfield "VB" of 8 bytes holding the member's length and its data's (`length` and
// `size` when given, to make them lie), the name, zlib's raw DEFLATE of `data`, CRC and ISIZE.
std::string block_member(const std::string &data, const char *name = nullptr, int64_t length = -1,
                         int64_t size = -1) {
  std::string named = name ? std::string(name) + '\0' : "";
  std::string deflated = test::raw_deflate(data);
  uint32_t total = static_cast<uint32_t>(24 + named.size() + deflated.size() + 8);
  std::string m = std::string("\x1f\x8b\x08", 3) + static_cast<char>(name ? 0x0C : 0x04) + le32(0) +
                  "\x02\x03" + std::string("\x0c\0VB\x08\0", 6) +
                  le32(length < 0 ? total : static_cast<uint32_t>(length)) +
                  le32(size < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(size));
  return m + named + deflated + le32(test::zlib_crc(data)) +
         le32(static_cast<uint32_t>(data.size()));
}

// How a test reads a member: with -v, with the stored name kept or skipped, what the name buffer
// holds before, and on how many workers.
struct ReadAs {
  bool verbose = false;
  bool keep_name = true;
  std::string name = "stdout";
  int workers = 1;
};

class GzipReader : public ::testing::Test {
protected:
  // In a child, since failures end the process: reads the header of `bytes` and inflates the
  // payload into a file. Standard output gets "result name header_bytes mtime"; the inflated bytes
  // land in `inflated`.
  test::RunResult read(const std::string &bytes, const ReadAs &as = {}) {
    std::string in = dir_ / "in", out = dir_ / "out";
    test::write_file(in, bytes);
    unlink(out.c_str());
    auto r = test::run_forked([&] {
      process.program_name = "vardo";
      set_worker_count(as.workers);
      auto s = std::make_unique<StreamState>();
      strcpy(s->in_name, "pkg.run");
      char name[kNameSize];
      strcpy(name, as.name.c_str());
      GzipMember m;
      m.name = as.keep_name ? name : nullptr;
      s->in_fd = open(in.c_str(), O_RDONLY);
      int result = read_gzip_header(*s, &m, as.verbose);
      printf("%d %s %u %u", result, name, m.header_bytes, m.mtime);
      fflush(stdout);
      if (result == 8) {
        s->out_fd = open(out.c_str(), O_WRONLY | O_CREAT, 0644);
        inflate_payload(*s, m, as.verbose);
      }
      _exit(process.exit_status);
    });
    inflated = access(out.c_str(), F_OK) == 0 ? test::read_file(out) : "";
    return r;
  }
  test::TempDir dir_;
  std::string inflated;
};

TEST_F(GzipReader, AcceptsBothMagicPairs) {
  std::string data = test::text_bytes(100000, 1);
  std::string m = member(0x08, std::string("data.tar\0", 9), data);
  auto r = read(m);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "8 data.tar 27 0");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(inflated == data);
  m[1] = '\x9e';
  r = read(m);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(inflated == data);
}

TEST_F(GzipReader, RejectsOtherMagicAndMethods) {
  auto r = read("PK\x03\x04 zip entry");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "-1 stdout 0 0");
  EXPECT_EQ(r.err, "vardo: can only handle GZIP compression method\n");
  std::string m = member(0, "", "x");
  m[2] = 0;
  r = read(m);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vardo: pkg.run: unknown method 0 -- get newer version of gzip\n");
}

TEST_F(GzipReader, IgnoredFlagBitsAndMtime) {
  for (unsigned char flag : {0x01, 0x20, 0x40, 0x80}) {
    auto r = read(member(flag, "", "abc", 1234567));
    EXPECT_EQ(r.status, 0) << int(flag);
    EXPECT_EQ(r.out, "8 stdout 18 1234567") << int(flag);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(inflated, "abc");
  }
}

TEST_F(GzipReader, ExtraFieldAndPartNumber) {
  auto r = read(member(0x04,
                       std::string("\x05\x00"
                                   "ABCDE",
                                   7),
                       "payload"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(inflated, "payload");
  r = read(member(0x04,
                  std::string("\x05\x00"
                              "ABCDE",
                              7),
                  "payload"),
           {.verbose = true});
  EXPECT_EQ(r.err, "vardo: pkg.run: extra field of 5 bytes ignored\n");
  // The part number sits right after OS, ahead of the extra field.
  r = read(member(0x06,
                  std::string("\x07\x00"
                              "\x02\x00"
                              "XY",
                              6),
                  "payload"),
           {.verbose = true});
  EXPECT_EQ(r.err,
            "vardo: pkg.run: part number 7\nvardo: pkg.run: extra field of 2 bytes ignored\n");
  EXPECT_EQ(inflated, "payload");
}

TEST_F(GzipReader, StoredNameRules) {
  std::string m = member(0x18, std::string("a.tar\0comment\0", 14), "z");
  auto r = read(m, {.name = "/some/dir/old"});
  EXPECT_EQ(r.out, "8 a.tar 32 0"); // 10 + 6 + 8 + 8
  r = read(m, {.keep_name = false});
  EXPECT_EQ(r.out, "8 stdout 32 0");
  // The name is taken as it stands, slashes and all.
  r = read(member(0x08, std::string("../x/y\0", 7), "z"));
  EXPECT_EQ(r.out, "8 ../x/y 25 0");
}

TEST_F(GzipReader, StoredNameLimit) {
  std::string name1023(1023, 'n');
  auto r = read(member(0x08, name1023 + '\0', "z"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "8 " + name1023 + " 1042 0");
  r = read(member(0x08, std::string(1024, 'n') + '\0', "z"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "\nvardo: pkg.run: corrupted input -- file name too large\n");
}

TEST_F(GzipReader, HeaderLongerThanOneBufferFill) {
  std::string extra(9000, 'e');
  std::string fields = le32(9000).substr(0, 2) + extra;
  auto r = read(member(0x04, fields, "data"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "8 stdout 9020 0"); // 10 + 2 + 9000 + 8
  EXPECT_EQ(inflated, "data");
}

TEST_F(GzipReader, TruncationsAreUnexpectedEndOfFile) {
  const std::string eof = "\nvardo: pkg.run: unexpected end of file\n";
  auto r = read("");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, eof);
  std::string data = test::random_bytes(50000, 2);
  std::string m = member(0, "", data);
  for (size_t cut : {size_t{5}, size_t{12}, m.size() / 2, m.size() - 8, m.size() - 3}) {
    r = read(m.substr(0, cut));
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_EQ(r.err, eof) << cut;
  }
}

// Members with a block record are read whole and decoded on any number of workers, in order, and
// a member without one between them streams in its place; a record the slot cannot hold is
// passed over, its member streamed. Each error is the one the streaming inflate reports, for
// the first damaged member, after every member before it was written.
TEST_F(GzipReader, BlockMembersOnAnyNumberOfWorkers) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < 7; ++i)
    blocks.push_back(i % 2 ? test::random_bytes(kDeflateBlockSize, i)
                           : test::text_bytes(kDeflateBlockSize - i * 1000, i));
  std::string payload, all;
  for (size_t i = 0; i < blocks.size(); ++i) {
    payload += i == 3 ? member(0, "", blocks[i]) : block_member(blocks[i], i ? nullptr : "f");
    all += blocks[i];
  }
  std::string oversized = block_member("tail", nullptr, -1, kDeflateBlockSize + 1);
  const std::string prefix = "\nvardo: pkg.run: invalid compressed data--";
  struct Case {
    const char *what;
    std::string bytes, error;
    size_t written; // blocks written before the error
  };
  std::string crc = block_member(blocks[4]), data = crc, isize = crc;
  crc[crc.size() - 8] ^= 1;
  data[40] ^= 0x40;
  isize[isize.size() - 2] ^= 1;
  std::vector<Case> cases = {
      {"whole", payload + oversized, "", 7},
      {"CRC", payload + crc, prefix + "crc error\n", 7},
      {"data", payload + data, prefix + "format violated\n", 7},
      {"ISIZE", payload + isize, prefix + "length error\n", 7},
      {"record's size", payload + block_member(blocks[4], nullptr, -1, blocks[4].size() - 1),
       prefix + "length error\n", 7},
      {"record's length short", payload + block_member(blocks[5], nullptr, 600000),
       prefix + "format violated\n", 7},
      {"record's length long",
       payload + block_member("short", nullptr, 100) + member(0, "", blocks[0]),
       prefix + "format violated\n", 7},
      {"record's length past the end", payload + block_member(blocks[4], nullptr, 1000000),
       "\nvardo: pkg.run: unexpected end of file\n", 7},
      {"cut", payload + block_member(blocks[4]).substr(0, 5000),
       "\nvardo: pkg.run: unexpected end of file\n", 7},
  };
  for (const Case &c : cases) {
    for (int workers : {1, 2, 16}) {
      ReadAs as;
      as.workers = workers;
      auto r = read(c.bytes, as);
      std::string label = std::string(c.what) + " on " + std::to_string(workers);
      EXPECT_EQ(r.status, c.error.empty() ? 0 : 1) << label;
      EXPECT_EQ(r.err, c.error) << label;
      std::string expected = c.error.empty() ? all + "tail" : all;
      EXPECT_TRUE(inflated == expected) << label << ": " << inflated.size() << " bytes";
    }
  }
}

TEST_F(GzipReader, CorruptData) {
  std::string data = test::text_bytes(100000, 3);
  std::string m = member(0, "", data);
  std::string bad = m;
  bad[m.size() - 8] ^= 0x01; // CRC bit flipped: all data is written first
  auto r = read(bad);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--crc error\n");
  EXPECT_TRUE(inflated == data);
  bad[m.size() - 1] ^= 0x01; // ISIZE wrong as well: the CRC is checked first
  r = read(bad);
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--crc error\n");
  bad = m;
  bad[m.size() - 4] ^= 0x01;
  r = read(bad);
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--length error\n");
  bad = m;
  bad[10] = '\xff'; // a reserved block type
  r = read(bad);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--format violated\n");
}

// After a member, a gzip magic begins another member, which must be whole; other bytes end the
// payload and are ignored. The system's gzip, where installed, reads each case alike: the same
// bytes out, and an error exactly where ours fails.
TEST_F(GzipReader, BytesAfterTheLastMember) {
  const std::string first = member(0, "", "first");
  const std::string eof = "\nvardo: pkg.run: unexpected end of file\n";
  bool gzip = test::run({"sh", "-c", "command -v gzip"}).status == 0;
  auto check = [&](const std::string &after, bool cut, const std::string &what) {
    auto r = read(first + after);
    EXPECT_EQ(r.status, cut ? 1 : 0) << what;
    EXPECT_EQ(r.err, cut ? eof : "") << what;
    EXPECT_TRUE(cut ? inflated.starts_with("first") : inflated == "first") << what;
    if (!gzip)
      return;
    test::write_file(dir_ / "p.gz", first + after);
    auto z = test::run({"gzip", "-dc", dir_ / "p.gz"});
    // Both write what a cut member decoded to as far as it got (ours in whole windows).
    EXPECT_TRUE(cut ? z.out.starts_with("first") : z.out == "first") << what << " (gzip)";
    EXPECT_EQ(z.status == 1, cut) << what << " (gzip): " << z.err; // 2: a warning only
  };
  for (size_t n : {1, 7, 512, 10000})
    check(std::string(n, '\0'), false, std::to_string(n) + " zeros");
  check("xyz", false, "garbage");
  check("\x1f", true, "a lone 0x1F");
  check("\x1f\x1f\x8b", false, "0x1F not followed by the second magic byte");
  check("\x1f\x8b\x08\x00", true, "a magic and too little for a header");
  std::string second = member(0x08, std::string("b\0", 2), test::text_bytes(3000, 4));
  for (size_t cut = 2; cut < second.size(); ++cut) // every byte of the header and the stream
    check(second.substr(0, cut), true, "second member cut at " + std::to_string(cut));
  if (!gzip)
    GTEST_SKIP() << "gzip is not installed: ours was not compared with it";
}

TEST_F(GzipReader, FollowingMembersAreInflatedWithTheRunningSizeOrTheirOwn) {
  std::string a = test::random_bytes(70000, 4), b = test::text_bytes(5000, 5);
  auto second = [&](uint32_t isize) {
    return "\x1f\x8b\x08\x08" + le32(0) + "\x02\x03" + std::string("b\0", 2) +
           test::raw_deflate(b) + le32(test::zlib_crc(b)) + le32(isize);
  };
  std::string first = member(0x08, std::string("a\0", 2), a);
  auto total = static_cast<uint32_t>(a.size() + b.size());
  for (uint32_t isize : {total, static_cast<uint32_t>(b.size())}) {
    auto r = read(first + second(isize));
    EXPECT_EQ(r.status, 0) << isize;
    EXPECT_EQ(r.out, "8 a 20 0");
    EXPECT_TRUE(inflated == a + b);
  }
  // Any other length is wrong.
  auto r = read(first + second(total + 1));
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--length error\n");
  // The second member's own CRC is checked.
  std::string bad = second(total);
  bad[bad.size() - 8] ^= 0x10;
  r = read(first + bad);
  EXPECT_EQ(r.err, "\nvardo: pkg.run: invalid compressed data--crc error\n");
}

TEST_F(GzipReader, MembersWrittenByOtherTools) {
  std::string data = test::text_bytes(300000, 6);
  auto r = read(test::zlib_gzip(data));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(inflated == data);
  if (test::run({"sh", "-c", "command -v gzip"}).status != 0)
    GTEST_SKIP() << "gzip is not installed";
  test::write_file(dir_ / "data.txt", data);
  ASSERT_EQ(test::run({"gzip", "-9", "-k", dir_ / "data.txt"}).status, 0);
  r = read(test::read_file(dir_ / "data.txt.gz"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 11), "8 data.txt ");
  EXPECT_TRUE(inflated == data);
  // Members appended one by one each carry their own length.
  std::string more = test::text_bytes(70000, 9);
  test::write_file(dir_ / "more.txt", more);
  auto gz = test::run(
      {"sh", "-c", "cd " + dir_.path() + " && gzip -c data.txt > p && gzip -c more.txt >> p"});
  ASSERT_EQ(gz.status, 0) << gz.err;
  r = read(test::read_file(dir_ / "p"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(inflated == data + more);
}

jmp_buf back_from_abort;
[[noreturn]] void jump_back() { longjmp(back_from_abort, 1); }

// Reads and inflates the member in `path`; true when the abort path was taken.
bool inflate_aborts(StreamState &s, const std::string &path) {
  reset_stream(s);
  s.in_fd = open(path.c_str(), O_RDONLY);
  if (setjmp(back_from_abort) == 0) {
    GzipMember m;
    read_gzip_header(s, &m, false);
    inflate_member(s);
    close(s.in_fd);
    return false;
  }
  close(s.in_fd);
  return true;
}

TEST_F(GzipReader, AbortedInflateLeavesNoHeapBehind) {
  // zlib works in the stream state's fixed workspace: an inflate abandoned by the abort path
  // (which the fuzz targets turn into a jump) holds no heap memory, and the next one works.
  std::string data = test::text_bytes(100000, 8);
  std::string bad = member(0, "", data);
  bad[bad.size() - 8] ^= 1;
  test::write_file(dir_ / "bad", bad);
  test::write_file(dir_ / "good", member(0, "", data));
  auto s = std::make_unique<StreamState>();
  s->out_fd = kNoOutput;
  process.program_name = "vardo";
  abort_hook = jump_back;
  size_t heap_before = mallinfo2().uordblks;
  for (int round = 0; round < 3; ++round)
    EXPECT_TRUE(inflate_aborts(*s, dir_ / "bad"));
  EXPECT_EQ(mallinfo2().uordblks, heap_before);
  abort_hook = nullptr;
  reset_stream(*s);
  s->in_fd = open((dir_ / "good").c_str(), O_RDONLY);
  GzipMember m;
  ASSERT_EQ(read_gzip_header(*s, &m, false), 8);
  inflate_member(*s);
  EXPECT_EQ(s->bytes_out, data.size());
  close(s->in_fd);
}

TEST_F(GzipReader, OutputLeavesInWindowSizedWrites) {
  std::string data = test::random_bytes(100000, 7);
  test::write_file(dir_ / "in", member(0, "", data));
  test::WriteRecorder out;
  auto s = std::make_unique<StreamState>();
  s->in_fd = open((dir_ / "in").c_str(), O_RDONLY);
  s->out_fd = out.fd();
  GzipMember m;
  ASSERT_EQ(read_gzip_header(*s, &m, false), 8);
  inflate_member(*s);
  close(s->in_fd);
  out.finish();
  EXPECT_EQ(out.sizes(), (std::vector<ssize_t>{32768, 32768, 32768, 100000 - 3 * 32768}));
  EXPECT_TRUE(out.data() == data);
  EXPECT_EQ(s->out_count, 0u);
  EXPECT_EQ(s->bytes_out, 100000u);
}

} // namespace
} // namespace vardo

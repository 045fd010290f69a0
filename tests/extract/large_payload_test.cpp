// Payloads of 4 GiB and more, whose size the gzip trailer's ISIZE holds only modulo 2^32: the
// header records it, and the space check, the listing and the unpacking go by it. The inputs are
// sparse files, so that no test writes gigabytes to a disk; what an archive unpacks to is counted
// and checksummed in a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

constexpr uint64_t kMiB = 1 << 20;
// 4 GiB and 2 MiB: ISIZE holds 2 MiB, and the size check would ask for 3 MB without the record.
constexpr uint64_t kLarge = (uint64_t{4} << 30) + 2 * kMiB;

// Writes `data` at `offset` of the file `path`.
void write_at(const std::string &path, uint64_t offset, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(data.size()));
  close(fd);
}

// "CRC LENGTH" of the bytes a shell command writes, as cksum prints them.
std::string cksum_of(const test::ToolDir &tool, const std::string &command) {
  auto r = tool.run({"sh", "-c", command + " | cksum"});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

class LargePayload : public ::testing::Test {
protected:
  void SetUp() override {
#ifdef VARDO_SANITIZED
    GTEST_SKIP() << "gigabytes take minutes under the sanitizers: the release tree runs these";
#endif
  }
  test::ToolDir tool;
};

// A sparse file of 4 GiB and 2 MiB with a few mebibytes of data in it, before, across and after
// the 4 GiB mark: built, listed by its real size and unpacked to the same bytes.
TEST_F(LargePayload, CompressedPayloadOverFourGibibytes) {
  std::string input = tool / "big.img";
  test::write_file(input, "");
  ASSERT_EQ(truncate(input.c_str(), static_cast<off_t>(kLarge)), 0);
  write_at(input, 0, test::random_bytes(kMiB, 1));
  write_at(input, (uint64_t{2} << 30) + 12345, test::text_bytes(kMiB, 2));
  write_at(input, (uint64_t{4} << 30) - 1000, test::random_bytes(kMiB, 3));
  test::RunOptions o;
  o.stdout_path = tool / "big.run";
  auto r = tool.run({"./vardo", "-C", "", "-F", "K=v", "big.img"}, o);
  ASSERT_EQ(r.status, 0) << r.err;
  chmod((tool / "big.run").c_str(), 0755);
  auto listing = tool.run({"./big.run", "-l"});
  EXPECT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("Feature: K=v,VARDO_TRAILER,VARDO_USIZE=4297064448,NAME=big.img\n"),
            std::string::npos)
      << listing.out;
  // The compressed size is the payload's; the ratio is that of the real size.
  size_t at = listing.out.find(" 4297064448 ");
  ASSERT_NE(at, std::string::npos) << listing.out;
  std::string line = listing.out.substr(listing.out.rfind('\n', at) + 1);
  line = line.substr(0, line.find('\n') + 1);
  uint64_t compressed = std::stoull(line);
  EXPECT_LT(compressed, 8 * kMiB); // three mebibytes of data, the rest zeros
  // The ratio of the real size, in whole tenths: the header (10 bytes and "big.img") and the
  // trailer are not compressed data.
  uint64_t tenths = (kLarge - (compressed - 18 - 8)) * 1000 / kLarge;
  char ratio[32];
  snprintf(ratio, sizeof ratio, " %llu.%llu%% big.img\n",
           static_cast<unsigned long long>(tenths / 10),
           static_cast<unsigned long long>(tenths % 10));
  EXPECT_TRUE(line.ends_with(ratio)) << line << " " << ratio;
  EXPECT_EQ(cksum_of(tool, "./big.run -x 2>/dev/null"), cksum_of(tool, "cat < big.img"));
}

} // namespace
} // namespace vardo

// Fault injection: full disks, vanished readers, sources that end early or trickle in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/process.h"
#include "support/tool.h"

namespace vardo {
namespace {

class Fault : public ::testing::Test {
protected:
  void SetUp() override {
    data = test::random_bytes(300000, 77);
    test::write_file(tool / "data", data);
    test::RunOptions o;
    o.stdout_path = tool / "a.run";
    ASSERT_EQ(tool.run({"./vardo", "-C", "", "data"}, o).status, 0);
    chmod((tool / "a.run").c_str(), 0755);
  }
  // Feeds `bytes` into the FIFO ./fifo in pieces of `piece` bytes, one piece per millisecond,
  // while `./vardo OPTIONS ./fifo` reads it.
  test::RunResult through_fifo(const std::string &bytes, size_t piece,
                               std::vector<std::string> options = {"-u", "-x"}) {
    std::string fifo = tool / "fifo";
    unlink(fifo.c_str());
    EXPECT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::thread writer([&] {
      int fd = open(fifo.c_str(), O_WRONLY);
      for (size_t at = 0; at < bytes.size(); at += piece) {
        if (write(fd, bytes.data() + at, std::min(piece, bytes.size() - at)) < 0)
          break;
        usleep(200);
      }
      close(fd);
    });
    options.insert(options.begin(), "./vardo");
    options.push_back("./fifo");
    auto r = tool.run(options);
    writer.join();
    return r;
  }
  test::ToolDir tool;
  std::string data;
};

TEST_F(Fault, ExtractToAFullDisk) {
  test::RunOptions o;
  o.stdout_path = "/dev/full";
  auto r = tool.run({"./a.run", "-x"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating data...\n\n./a.run: "
            "data: No space left on device\n");
}

TEST_F(Fault, ArchiveTricklingThroughAFifo) {
  std::string archive = test::read_file(tool / "a.run");
  auto r = through_fifo(archive, 1000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == data);
}

// A pipe cannot be sought: the listing reads through to the end, where it checks the digest, and
// an archive that asks for a space check takes the size its header records; one that records
// none (built before the size was always recorded), whose size stands at the end, is refused
// rather than unpacked unchecked.
TEST_F(Fault, ListingAndSpaceCheckThroughAFifo) {
  std::string archive = test::read_file(tool / "a.run");
  auto r = through_fifo(archive, 4096, {"-l"});
  auto from_file = tool.run({"./vardo", "-l", "./a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, from_file.out);
  mkdir((tool / "src").c_str(), 0755);
  test::write_file(tool / "src/pkg", data);
  test::RunOptions o;
  o.stdout_path = tool / "v.run";
  ASSERT_EQ(tool.run({"./vardo", "-C", "", "-V", tool.path(), "-S", "sub", "src/pkg"}, o).status,
            0);
  r = through_fifo(test::read_file(tool / "v.run"), 4096, {"-u"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "pkg") == data);
  unlink((tool / "pkg").c_str());
  std::string v = test::read_file(tool / "v.run");
  size_t payload = v.find(std::string("\x1f\x8b\x08\x0c", 4), tool.tool_bytes().size());
  tool.make_archive("old.run", "VFYFS=" + tool.path() + ",FSSUB=sub,NAME=pkg", "", "", "",
                    v.substr(payload, v.size() - 78 - payload));
  r = through_fifo(test::read_file(tool / "old.run"), 4096, {"-u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: ./fifo: cannot check space on a pipe\n");
  EXPECT_NE(access((tool / "pkg").c_str(), F_OK), 0); // nothing unpacked
}

TEST_F(Fault, FifoThatClosesEarly) {
  std::string archive = test::read_file(tool / "a.run");
  auto r = through_fifo(archive.substr(0, archive.size() - 100000), 4096);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("\n./vardo: ./fifo: unexpected end of file\n")) << r.err;
  EXPECT_TRUE(r.out == data.substr(0, r.out.size())); // what came out is the data, as far as it got
  EXPECT_LT(r.out.size(), data.size());
}

TEST_F(Fault, ExtractCommandOnAFilesystemThatFillsUp) {
  auto probe = test::run({"unshare", "-m", "true"});
  if (probe.status != 0)
    GTEST_SKIP() << "unshare -m is not permitted here: " << probe.err;
  std::string small = tool / "small";
  mkdir(small.c_str(), 0755);
  test::RunOptions o;
  o.stdout_path = tool / "f.run";
  ASSERT_EQ(
      tool.run({"./vardo", "-C", "", "-f", "cat > " + small + "/%o", "-r", "touch ran", "data"}, o)
          .status,
      0);
  chmod((tool / "f.run").c_str(), 0755);
  auto r = tool.run({"unshare", "-m", "sh", "-c",
                     "mount -t tmpfs -o size=64k tmpfs " + small + " && ./f.run; echo status=$?"});
  EXPECT_EQ(r.out, "status=1\n");
  bool reported = r.err.find("./f.run: data: Broken pipe") != std::string::npos ||
                  r.err.find("the extract command failed") != std::string::npos;
  EXPECT_TRUE(reported) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err; // from cat
  EXPECT_NE(access((tool / "ran").c_str(), F_OK), 0);
}

} // namespace
} // namespace vardo

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/fork.h"
#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

class Extract : public ::testing::Test {
protected:
  void SetUp() override {
    mkdir((tool / "src").c_str(), 0755);
    mkdir((tool / "out").c_str(), 0755);
  }
  // Builds ./a.run (or `name`) in the tool directory from the arguments.
  void build(std::vector<std::string> args, const std::string &name = "a.run") {
    args.insert(args.begin(), "./vardo");
    test::RunOptions o;
    o.stdout_path = tool / name;
    auto r = tool.run(args, o);
    ASSERT_EQ(r.status, 0) << r.err;
    chmod((tool / name).c_str(), 0755);
  }
  // Runs the archive in the empty directory "out".
  test::RunResult run_archive(std::vector<std::string> args, test::RunOptions o = {}) {
    o.cwd = tool / "out";
    return tool.run(args, o);
  }
  test::ToolDir tool;
};

TEST_F(Extract, InstallerEndToEnd) {
  test::write_file(tool / "src/install.sh",
                   "test -f payload.dat || exit 9\n"
                   "echo \"vendor=$QK_VENDOR nocompr=${NOCOMPR-unset} name=$NAME\" > installed\n"
                   "cp payload.dat copied.dat\n");
  test::write_file(tool / "src/payload.dat", test::random_bytes(300000, 1));
  auto t =
      test::run({"tar", "cf", tool / "pkg.tar", "-C", tool / "src", "install.sh", "payload.dat"});
  ASSERT_EQ(t.status, 0) << t.err;
  build({"-C", "Test package", "-f", "tar xf -", "-r", "sh ./install.sh", "-O", "acme co", "-F",
         "NOCOMPR", "pkg.tar"});
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "\nTest package\n\nPlease wait...\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::read_file(tool / "out/installed"), "vendor=acme co nocompr= name=pkg.tar\n");
  EXPECT_TRUE(test::read_file(tool / "out/copied.dat") ==
              test::read_file(tool / "src/payload.dat"));
}

TEST_F(Extract, CompressedInstallerWithDefaultExtractCommand) {
  test::write_file(tool / "src/data.tar", test::text_bytes(200000, 2));
  build({"-r", "test -s data.tar && echo done > marker", "src/data.tar"});
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "out/data.tar") == test::read_file(tool / "src/data.tar"));
  EXPECT_EQ(test::read_file(tool / "out/marker"), "done\n");
}

TEST_F(Extract, OutputNames) {
  mkdir("/tmp/x", 0755);
  std::string data = test::text_bytes(50000, 3);
  test::write_file("/tmp/x/data.tar", data);
  build({"/tmp/x/data.tar"});
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/data.tar") == data);
  EXPECT_EQ(run_archive({"../a.run", "-c"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/stdout") == data);
  build({"-a", "/tmp/x/data.tar"}, "r.run");
  unlink((tool / "out/data.tar").c_str());
  EXPECT_EQ(run_archive({"../r.run"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/data.tar") == data);
  // A raw archive without a NAME= item extracts to "stdout".
  tool.make_archive("n.run", "NOCOMPR", "", "", "", "raw");
  EXPECT_EQ(run_archive({"../n.run", "-n"}).status, 0);
  unlink((tool / "out/stdout").c_str());
  EXPECT_EQ(run_archive({"../n.run"}).status, 0);
  EXPECT_EQ(test::read_file(tool / "out/stdout"), "raw");
}

TEST_F(Extract, ExtractOnlyWritesPayloadBytesOnly) {
  std::string data = test::random_bytes(100000, 4);
  test::write_file(tool / "src/blob", data);
  build({"-r", "touch ran", "-f", "touch extracted", "src/blob"});
  auto r = run_archive({"../a.run", "-x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == data);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating blob...\n");
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  EXPECT_NE(access((tool / "out/extracted").c_str(), F_OK), 0);
  r = run_archive({"../a.run", "-x", "-c"});
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating stdout...\n");
  build({"-a", "-C", "", "src/blob"}, "r.run");
  r = run_archive({"../r.run", "-x"});
  EXPECT_TRUE(r.out == data);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating blob...\n");
}

TEST_F(Extract, RunCommandGates) {
  test::write_file(tool / "src/f", "content");
  build({"-r", "touch ran", "src/f"});
  EXPECT_EQ(run_archive({"../a.run", "-n"}).status, 0);
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  EXPECT_EQ(test::read_file(tool / "out/f"), "content");
  // An empty raw payload: status 1 with a message, no run command.
  tool.make_archive("e.run", "NOCOMPR,NAME=e", "", "touch ran", "", "");
  auto r = run_archive({"../e.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../e.run: ../e.run: the payload is empty\n");
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  EXPECT_EQ(test::read_file(tool / "out/e"), "");
}

TEST_F(Extract, FailingRunCommand) {
  test::write_file(tool / "src/f", "content");
  build({"-C", "", "-r", "exit 3", "src/f"});
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n\n../a.run: final processing "
                   "of f failed\n\nCommand: exit 3\n");
  // Killed by a signal: no message, still status 1.
  build({"-C", "", "-r", "kill -9 $$", "src/f"}, "k.run");
  r = run_archive({"../k.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n");
}

TEST_F(Extract, CorruptMemberAndUnknownMethod) {
  std::string data = test::text_bytes(100000, 5);
  std::string m = test::zlib_gzip(data);
  m[m.size() - 6] ^= 0x40; // CRC
  tool.make_archive("c.run", "", "", "", "", m);
  auto r = run_archive({"../c.run", "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Deflating stdout...\n\n../c.run: ../c.run: invalid compressed data--crc error\n");
  std::string bad = test::zlib_gzip(data);
  bad[2] = 7;
  tool.make_archive("m.run", "", "", "", "", bad);
  r = run_archive({"../m.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../m.run: ../m.run: unknown method 7 -- get newer version of gzip\n"
                   "../m.run: unknown compression method\n");
}

TEST_F(Extract, ArchiveNamedByOperand) {
  test::write_file(tool / "src/f", "by operand");
  build({"src/f"});
  chmod((tool / "a.run").c_str(), 0644); // not executable: found only through its "./" name
  auto r = tool.run({"./vardo", "-u", "./a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "f"), "by operand");
  r = tool.run({"./vardo", "-u", "a.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: unable to find vardo to build preamble\n"
                   "a.run: unable to find preamble magic value\n");
  // An archive given operands without -u extracts itself and ignores them.
  chmod((tool / "a.run").c_str(), 0755);
  r = run_archive({"../a.run", "../vardo", "other"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(test::read_file(tool / "out/f"), "by operand");
}

TEST_F(Extract, EveryMemberOfAMultiFileArchive) {
  std::string a = test::random_bytes(70000, 6), b = test::text_bytes(300000, 7), c = "third";
  test::write_file(tool / "src/a", a);
  test::write_file(tool / "src/b", b);
  test::write_file(tool / "src/c", c);
  build({"src/a", "src/b", "src/c"});
  auto r = run_archive({"../a.run", "-x"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == a + b + c);
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/a") == a + b + c);
}

TEST_F(Extract, CutInsideTheSecondMemberIsAnError) {
  std::string a = test::text_bytes(5000, 10), b = test::text_bytes(6000, 11);
  test::write_file(tool / "src/a", a);
  test::write_file(tool / "src/b", b);
  build({"-C", "c", "-r", "touch ran", "src/a", "src/b"});
  std::string whole = test::read_file(tool / "a.run");
  size_t payload_at =
      tool.tool_bytes().size() + 11 + sizeof "NAME=a" + sizeof "c" + sizeof "touch ran" + 1;
  auto first = test::zlib_gunzip(whole.substr(payload_at));
  ASSERT_TRUE(first.ok && first.data == a);
  size_t second_at = payload_at + first.consumed;
  ASSERT_EQ(whole.substr(second_at, 2), "\x1f\x8b");
  // Cut after each byte of the second header (ten bytes and the name "b"), and just after it.
  for (size_t cut = 1; cut <= 12; ++cut) {
    test::write_file(tool / "a.run", whole.substr(0, second_at + cut), 0755);
    auto r = run_archive({"../a.run"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_EQ(r.err, "\nc\n\nPlease wait...\n\n../a.run: ../a.run: unexpected end of file\n")
        << cut;
    EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0) << cut;
  }
  // A cut at the boundary leaves a shorter archive of one member, which this format cannot tell
  // from one built so.
  test::write_file(tool / "a.run", whole.substr(0, second_at), 0755);
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_EQ(test::read_file(tool / "out/a"), a);
}

TEST_F(Extract, PayloadOfMembersWrittenOneByOneByGzip) {
  if (test::run({"sh", "-c", "command -v gzip"}).status != 0)
    GTEST_SKIP() << "gzip is not installed";
  std::string a = test::text_bytes(90000, 12), b = test::random_bytes(40000, 13);
  test::write_file(tool / "src/a", a);
  test::write_file(tool / "src/b", b);
  auto gz = tool.run({"sh", "-c", "gzip -c src/a > p && gzip -c src/b >> p"});
  ASSERT_EQ(gz.status, 0) << gz.err;
  tool.make_archive("a.run", "NAME=a", "", "touch ran", "", test::read_file(tool / "p"));
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "out/a") == a + b);
  EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK), 0);
}

TEST_F(Extract, FailedExtractCommandIsAFailure) {
  test::write_file(tool / "src/f", "x");
  build({"-C", "", "-f", "cat > /nonexistent/dir/x", "-r", "touch ran", "src/f"});
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 1);
  // The shell may end before or after the payload is written: the failure shows either as the
  // command's status or as the write into its pipe failing.
  bool reported = r.err.find("../a.run: the extract command failed: cat > /nonexistent/dir/x\n") !=
                      std::string::npos ||
                  r.err.find("\n../a.run: f: Broken pipe\n") != std::string::npos;
  EXPECT_TRUE(reported) << r.err;
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  build({"-C", "", "-f", "cat > /dev/null; false", "-r", "touch ran", "src/f"}, "b.run");
  r = run_archive({"../b.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n"
                   "../b.run: the extract command failed: cat > /dev/null; false\n");
}

TEST_F(Extract, VanishedReaderIsAWriteError) {
  test::write_file(tool / "src/big", test::random_bytes(4 << 20, 8));
  build({"-C", "", "-f", "true", "src/big"});
  build({"-C", "", "-a", "-f", "true", "src/big"}, "r.run");
  for (const char *archive : {"../a.run", "../r.run"}) {
    auto r = run_archive({archive});
    EXPECT_EQ(r.status, 1) << archive;
    EXPECT_EQ(r.err, std::string("\nSelf-Extracting archive file\n\nPlease wait...\n\n") + archive +
                         ": big: Broken pipe\n")
        << archive;
  }
}

TEST_F(Extract, CommandsStartWithTheDefaultSigpipe) {
  test::write_file(tool / "src/f", "x");
  build({"-f", "grep SigIgn /proc/self/status > sig.extract; cat > /dev/null", "-r",
         "grep SigIgn /proc/self/status > sig.run", "src/f"});
  ASSERT_EQ(run_archive({"../a.run"}).status, 0);
  for (const char *file : {"out/sig.extract", "out/sig.run"}) {
    std::string line = test::read_file(tool / file);
    unsigned long mask = std::stoul(line.substr(line.find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ul << 12), 0u) << file << ": " << line; // bit 12 is SIGPIPE (13)
  }
}

class Dialogue : public Extract {
protected:
  void SetUp() override {
    Extract::SetUp();
    test::write_file(tool / "src/f", "x");
    build({"-C", "", "-r", "touch ran", "src/f"});
  }
  test::RunResult answer(const std::string &typed) {
    unlink((tool / "out/ran").c_str());
    test::RunOptions o;
    o.stdin_tty = true;
    o.input = typed;
    return run_archive({"../a.run", "-v"}, o);
  }
  bool ran() { return access((tool / "out/ran").c_str(), F_OK) == 0; }
  const std::string intro = "This archive requires more processing using the following "
                            "command:\n    touch ran\nOK to run the command? ";
};

TEST_F(Dialogue, Answers) {
  auto r = answer("yes\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, intro);
  EXPECT_TRUE(ran());
  r = answer("no\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, intro);
  EXPECT_FALSE(ran());
  r = answer("\nY\n");
  EXPECT_EQ(r.out, intro + "\n? (y/n): ");
  EXPECT_TRUE(ran());
  r = answer(" y\nN\n");
  EXPECT_EQ(r.out, intro + "\n? (y/n): ");
  EXPECT_FALSE(ran());
  // The rest of a long line is part of the same answer, not a second one.
  r = answer(std::string(600, 'x') + "\ny\n");
  EXPECT_EQ(r.out, intro + "\n? (y/n): ");
  EXPECT_TRUE(ran());
  r = answer("\x04"); // end of input declines
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, intro);
  EXPECT_FALSE(ran());
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating f...\n");
}

TEST_F(Dialogue, StandardInputNotATerminal) {
  test::write_file(tool / "answers", "y\n");
  auto r = run_archive({"sh", "-c", "../a.run -v < ../answers"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                   "    touch ran\nbut stdin is not a terminal. So forget it.\n");
  EXPECT_FALSE(ran());
}

TEST_F(Dialogue, FailureAfterYesHasNoMessage) {
  build({"-C", "", "-r", "exit 4", "src/f"});
  auto r = answer("y\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating f...\n");
}

} // namespace
} // namespace vardo

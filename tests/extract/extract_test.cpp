#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "support/fork.h"
#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

// The names in `dir`, sorted, without "." and "..".
std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until `n` temporary files of the default extraction stand in `dir`. The runs that make
// them wait for their input meanwhile, so they always get there.
bool await_temporaries(const std::string &dir, size_t n) {
  auto temporary = [](const std::string &name) { return name.starts_with(".vardo-"); };
  return test::await(
      [&] {
        auto names = entries(dir);
        return static_cast<size_t>(std::count_if(names.begin(), names.end(), temporary)) >= n;
      },
      std::to_string(n) + " temporary files in " + dir);
}

// An archive fed through a FIFO to `../vardo -u` in the directory "out", which runs on a thread
// of its own: all but the last `held` bytes at once, the rest on finish(). Until then the
// extraction waits for its input, so what a test does meanwhile happens at a known point of the
// run, however fast the machine is.
class FedArchive {
public:
  FedArchive(const test::ToolDir &tool, const std::string &name, const std::string &bytes,
             size_t held = 50000)
      : bytes_(bytes), held_(held), fifo_(tool / (name + ".fifo")),
        pid_file_(tool / (name + ".pid")) {
    signal(SIGPIPE, SIG_IGN); // a tool that ended early fails the writes instead
    mkfifo(fifo_.c_str(), 0755);
    runner_ = std::thread([this, &tool, name] {
      test::RunOptions o;
      o.cwd = tool / "out";
      result_ = tool.run(
          {"sh", "-c", "echo $$ > ../" + name + ".pid; exec ../vardo -u ../" + name + ".fifo"}, o);
    });
    // Opened without blocking, so that a tool that never opens it cannot hang the test.
    test::await([this] { return (fd_ = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                "the tool to open " + fifo_);
    fcntl(fd_, F_SETFL, 0);
    write_part(0, bytes_.size() - held_);
  }
  ~FedArchive() {
    if (runner_.joinable())
      end();
  }
  pid_t pid() const { return std::stoi(test::read_file(pid_file_)); }
  // Writes the rest of the archive, ends the input and waits for the tool.
  test::RunResult finish() {
    write_part(bytes_.size() - held_, held_);
    return end();
  }
  // Ends the input where it stands and waits for the tool.
  test::RunResult end() {
    close(fd_);
    runner_.join();
    unlink(fifo_.c_str());
    return result_;
  }

private:
  void write_part(size_t at, size_t n) {
    for (ssize_t w; n > 0 && (w = write(fd_, bytes_.data() + at, n)) > 0; at += w, n -= w) {
    }
  }
  std::string bytes_;
  size_t held_;
  std::string fifo_, pid_file_;
  int fd_ = -1;
  std::thread runner_;
  test::RunResult result_;
};

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
  test::TempDir elsewhere; // the input named by an absolute path in another directory
  std::string input = elsewhere / "data.tar";
  std::string data = test::text_bytes(50000, 3);
  test::write_file(input, data);
  build({input});
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/data.tar") == data);
  EXPECT_EQ(run_archive({"../a.run", "-c"}).status, 0);
  EXPECT_TRUE(test::read_file(tool / "out/stdout") == data);
  build({"-a", input}, "r.run");
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
  EXPECT_NE(access((tool / "out/e").c_str(), F_OK), 0); // a failed extraction makes no file
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

// Both commands are expanded before anything runs: a run command whose value would not be data
// stops the run before the extract command has started. One that no value could expand is not
// built at all.
TEST_F(Extract, RefusedRunCommandStopsTheRunBeforeTheExtractCommand) {
  test::write_file(tool / "src/f", "x");
  test::RunOptions to_file;
  to_file.stdout_path = tool / "b.run";
  auto built = tool.run({"./vardo", "-r", "eval echo %p", "src/f"}, to_file);
  EXPECT_EQ(built.status, 1);
  EXPECT_EQ(built.err,
            "./vardo: a value would not be data where this command puts it: eval echo %p\n");
  EXPECT_EQ(test::read_file(tool / "b.run"), "");
  build({"-C", "", "-f", "touch ../extracted; cat > /dev/null", "-r", "echo \\%p", "src/f"});
  mkdir((tool / "out/a b").c_str(), 0755);
  test::RunOptions o;
  o.cwd = tool / "out/a b";
  auto r = tool.run({"../../a.run"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../../a.run: a value would not be data where this command puts it: echo "
                   "\\%p\n");
  EXPECT_NE(access((tool / "out/extracted").c_str(), F_OK), 0);
  // With -n the run command is not used, and so not expanded.
  r = tool.run({"../../a.run", "-n"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(access((tool / "out/extracted").c_str(), F_OK), 0);
}

// The size the header records is checked once the payload is unpacked, compressed or stored: a
// payload of another size is a length error, and the run command does not run. (The item given
// with -F comes before the builder's own, and the first one found is the one read.)
TEST_F(Extract, RecordedSizeIsChecked) {
  test::write_file(tool / "src/f", "twelve bytes");
  for (const char *stored : {"", "-a"}) {
    for (const char *size : {"12", "11", "13"}) {
      std::vector<std::string> args = {
          "-C", "", "-F", std::string("VARDO_USIZE=") + size, "-r", "touch ran", "src/f"};
      if (*stored)
        args.insert(args.begin(), stored);
      build(args);
      auto r = run_archive({"../a.run"});
      std::string what = std::string(size) + " " + stored;
      bool right = std::string(size) == "12";
      EXPECT_EQ(r.status, right ? 0 : 1) << what;
      EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n" +
                           std::string(right ? ""
                                             : "\n../a.run: ../a.run: invalid compressed "
                                               "data--length error\n"))
          << what;
      EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK) == 0, right) << what;
      EXPECT_EQ(access((tool / "out/f").c_str(), F_OK) == 0, right) << what;
      unlink((tool / "out/ran").c_str());
      unlink((tool / "out/f").c_str());
      auto listing = tool.run({"./vardo", "-l", "./a.run"});
      EXPECT_EQ(listing.status, right || *stored ? 0 : 1) << what << listing.err;
    }
  }
  build({"-F", "VARDO_USIZE=12x", "src/f"});
  auto r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../a.run: VARDO_USIZE=12x: not a size in bytes\n");
}

// Text from an archive, or a name from a directory others write into, that a message repeats is
// escaped on a terminal like the listing: a recorded size, an overlong VFYFS value, a refused item
// (cut at its comma, then escaped) and archive names.
TEST_F(Extract, MessagesShowOutsideTextEscapedOnATerminal) {
  std::string member = test::zlib_gzip("x");
  std::string a(126, 'a');
  struct {
    std::string name, features, run, shown;
  } cases[] = {
      {"u.run", "VARDO_USIZE=1\033]0;T\007z,NAME=f", "",
       "VARDO_USIZE=1\\033]0;T\\007z: not a size in bytes\n"},
      {"v.run", "VFYFS=/" + a + "\033[2J,FSSUB=ab,NAME=f", "",
       "VFYFS value longer than 127 characters: /" + a + "\\033[2J\n"},
      {"i.run", "LD_X=\033[31m\\\033[1m,NAME=f", "true", ": LD_X=\\033[31m\\033[1m\n"},
  };
  test::RunOptions o;
  o.terminal = true;
  for (const auto &c : cases) {
    tool.make_archive(c.name, c.features, "", c.run, "cat > /dev/null", member);
    auto r = tool.run({"./" + c.name}, o);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_TRUE(r.out.ends_with(c.shown)) << r.out;
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
  }
  // A directory that another user named, open to all, where a space check would unpack in place.
  std::string shared = tool / "w\033[1m";
  mkdir(shared.c_str(), 0777);
  chmod(shared.c_str(), 0777);
  tool.make_archive("p.run", "VFYFS=./,FSSUB=inst,NAME=f", "", "", "cat > /dev/null", member);
  o.cwd = shared;
  auto r = tool.run({"../p.run"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with("/w\\033[1m: another user may change what this directory holds, or "
                              "the directories above it; unpack with -d DIR or -T\n"))
      << r.out;
  o.cwd = "";
  // An archive run by a name that another user chose: every message begins with it.
  tool.make_archive("f\033[8m.run", "NAME=f", "", "false", "cat > /dev/null", member);
  r = tool.run({"./f\033[8m.run"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("./f\\033[8m.run: final processing of stdout failed"), std::string::npos)
      << r.out;
  test::write_file(tool / "y\033[31m.run", "junk");
  for (const char *name : {"y\033[31m.run", "gone\033[1m.run"}) {
    auto r = tool.run({"./vardo", "-l", std::string("./") + name}, o);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("./" + std::string(name).replace(std::string(name).find('\033'), 1, "\\033")),
        std::string::npos)
        << r.out;
  }
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

// A cut archive is refused at once by its length, before anything is shown or run, wherever the
// cut falls: inside a member's header, or exactly where a member ends, which the members alone
// could not tell from an archive built so. Read through a pipe, the gzip reader finds the cut.
TEST_F(Extract, CutInsideTheSecondMemberIsAnError) {
  std::string a = test::text_bytes(5000, 10), b = test::text_bytes(6000, 11);
  test::write_file(tool / "src/a", a);
  test::write_file(tool / "src/b", b);
  build({"-C", "c", "-r", "touch ran", "src/a", "src/b"});
  std::string whole = test::read_file(tool / "a.run");
  std::string items = "VARDO_TRAILER,VARDO_USIZE=11000,NAME=a";
  size_t payload_at =
      tool.tool_bytes().size() + 11 + items.size() + 1 + sizeof "c" + sizeof "touch ran" + 1;
  auto first = test::zlib_gunzip(whole.substr(payload_at));
  ASSERT_TRUE(first.ok && first.data == a);
  size_t second_at = payload_at + first.consumed;
  ASSERT_EQ(whole.substr(second_at, 2), "\x1f\x8b");
  // Cut just before the second member, after each byte of its header (ten bytes and the name
  // "b"), and just after it.
  for (size_t cut = 0; cut <= 12; ++cut) {
    std::string bytes = whole.substr(0, second_at + cut);
    test::write_file(tool / "a.run", bytes, 0755);
    auto r = run_archive({"../a.run"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_EQ(r.err, "../a.run: ../a.run: the archive is not whole: it was cut short, or bytes "
                     "were added after its end\n")
        << cut;
    EXPECT_TRUE(entries(tool / "out").empty()) << cut;
    // Through a pipe, a cut where a member ends shows only at the end, where no trailer came.
    auto piped = FedArchive(tool, "cut", bytes, 0).end();
    EXPECT_EQ(piped.status, 1) << cut;
    EXPECT_TRUE(piped.err.ends_with(
        cut ? "\n../vardo: ../cut.fifo: unexpected end of file\n"
            : "\n../vardo: ../cut.fifo: the archive is not whole: it was cut short, or bytes were "
              "added after its end\n"))
        << cut << piped.err;
    EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0) << cut;
  }
}

// Bytes added after an archive's end make it refused: it is not the file that was built. An
// archive is refused as the preamble of another, whose header its own would hide; an archive
// without a trailer (built before there were any) takes bytes after its last member as gzip does:
// padding, a signature, not payload.
TEST_F(Extract, BytesAfterTheLastMemberAreIgnored) {
  std::string a = test::text_bytes(5000, 14);
  test::write_file(tool / "src/f", a);
  build({"-C", "", "-r", "touch ran", "src/f"});
  std::string whole = test::read_file(tool / "a.run");
  test::write_file(tool / "src/g", "the new payload");
  test::RunOptions to_file;
  to_file.stdout_path = tool / "b.run";
  auto r = tool.run({"./vardo", "-p", "./a.run", "-C", "new", "src/g"}, to_file);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: ./a.run: the preamble holds the magic value, or ends with its "
                   "beginning, which would hide the header; not used\n");
  std::string refused = "../a.run: ../a.run: the archive is not whole: it was cut short, or "
                        "bytes were added after its end\n";
  for (const std::string &after : {std::string(1000, '\0'), std::string("xyz"),
                                   "xyz" + std::string(4096, '\0'), std::string(1, '\0')}) {
    test::write_file(tool / "a.run", whole + after, 0755);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"../a.run"}, {"../a.run", "-x"}, {"../a.run", "-i", "-n"}}) {
      auto r = run_archive(args);
      EXPECT_EQ(r.status, 1) << after.size() << args.back();
      EXPECT_EQ(r.err, refused) << after.size();
      EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(entries(tool / "out").empty()) << after.size();
    EXPECT_EQ(tool.run({"./vardo", "-l", "./a.run"}).status, 1);
  }
  // Built before trailers: the same payload with bytes after it, in a header without the item.
  size_t payload_at = whole.find(std::string("\x1f\x8b\x08\x0c", 4), tool.tool_bytes().size());
  std::string payload = whole.substr(payload_at, whole.size() - 78 - payload_at);
  tool.make_archive("old.run", "NAME=f", "", "touch ran", "",
                    payload + "xyz" + std::string(99, '\0'));
  r = run_archive({"../old.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "out/f"), a);
  EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK), 0);
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
  // The shell may end before or after the payload is written: either way the command is waited
  // for and named.
  EXPECT_NE(r.err.find("../a.run: the extract command failed: cat > /nonexistent/dir/x\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  build({"-C", "", "-f", "cat > /dev/null; false", "-r", "touch ran", "src/f"}, "b.run");
  r = run_archive({"../b.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n"
                   "../b.run: the extract command failed: cat > /dev/null; false\n");
}

// An extract command that stops reading before the payload is written (it exits at once, with
// or without an error) is waited for and named; the run command does not run.
TEST_F(Extract, ExtractCommandThatStopsEarlyIsAFailure) {
  test::write_file(tool / "src/big", test::random_bytes(4 << 20, 8));
  for (const char *cmd : {"true", "exit 3"}) {
    build({"-C", "", "-f", cmd, "-r", "touch ran", "src/big"});
    build({"-C", "", "-a", "-f", cmd, "-r", "touch ran", "src/big"}, "r.run");
    for (std::string archive : {"../a.run", "../r.run"}) {
      auto r = run_archive({archive});
      EXPECT_EQ(r.status, 1) << archive;
      EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\n\n" + archive +
                           ": big: Broken pipe\n" + archive +
                           ": the extract command failed: " + cmd + "\n")
          << archive;
      EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
    }
  }
}

// Dispositions the parent left (SIGPIPE, SIGXFSZ and SIGCHLD ignored) do not reach the commands,
// and an ignored SIGCHLD does not make a sound extraction look failed.
TEST_F(Extract, CommandsStartWithDefaultDispositions) {
  test::write_file(tool / "src/f", "x");
  build({"-f", "grep SigIgn /proc/self/status > sig.extract; cat > f", "-r",
         "grep SigIgn /proc/self/status > sig.run", "src/f"});
  auto r = run_archive({"sh", "-c", "trap '' PIPE XFSZ CHLD; exec ../a.run"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "out/f"), "x");
  for (const char *file : {"out/sig.extract", "out/sig.run"}) {
    std::string line = test::read_file(tool / file);
    ASSERT_NE(line.find(':'), std::string::npos) << file;
    unsigned long mask = std::stoul(line.substr(line.find(':') + 1), nullptr, 16);
    // Bit n - 1 stands for signal n: SIGPIPE 13, SIGCHLD 17, SIGXFSZ 25.
    EXPECT_EQ(mask & ((1ul << 12) | (1ul << 16) | (1ul << 24)), 0u) << file << ": " << line;
  }
}

// Values inserted into the extract command are data: a directory with a blank, and stored names
// that hold blanks, quotes and shell syntax, extract to exactly that name and run nothing.
TEST_F(Extract, OddDirectoryAndFileNames) {
  std::string data = test::random_bytes(30000, 9);
  test::write_file(tool / "src/f", data);
  build({"src/f"});
  mkdir((tool / "out/my dir").c_str(), 0755);
  test::write_file(tool / "out/my", "precious");
  auto r = tool.run({"../../a.run"}, [&] {
    test::RunOptions o;
    o.cwd = tool / "out/my dir";
    return o;
  }());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "out/my dir/f") == data);
  EXPECT_EQ(test::read_file(tool / "out/my"), "precious");
  for (std::string name : {"my file.txt", "a;touch PWNED;b", "$(touch PWNED)x", "it's"}) {
    test::write_file(tool / ("src/" + name), data);
    build({"src/" + name});
    for (const char *flag : {"-n", "-c"}) {
      r = run_archive({"../a.run", flag});
      EXPECT_EQ(r.status, 0) << name << r.err;
    }
    EXPECT_TRUE(test::read_file(tool / ("out/" + name)) == data) << name;
    EXPECT_TRUE(test::read_file(tool / "out/stdout") == data) << name;
    EXPECT_NE(access((tool / "out/PWNED").c_str(), F_OK), 0) << name;
    EXPECT_EQ(test::read_file(tool / "out/my"), "precious") << name;
  }
}

// The commands get standard input, output and error and nothing else of the tool's: no
// descriptor of the archive keeps its file busy in an installer or a daemon it starts.
TEST_F(Extract, CommandsInheritOnlyTheStandardDescriptors) {
  test::write_file(tool / "src/f", "x");
  build({"-f", "ls /proc/self/fd > fds.extract; cat > f", "-r", "ls /proc/self/fd > fds.run",
         "src/f"});
  build({"-a", "-f", "ls /proc/self/fd > fds.extract; cat > f", "-r", "ls /proc/self/fd > fds.run",
         "src/f"},
        "r.run");
  for (const char *archive : {"../a.run", "../r.run"}) {
    ASSERT_EQ(run_archive({archive}).status, 0) << archive;
    // 3 is the directory ls itself reads.
    EXPECT_EQ(test::read_file(tool / "out/fds.extract"), "0\n1\n2\n3\n") << archive;
    EXPECT_EQ(test::read_file(tool / "out/fds.run"), "0\n1\n2\n3\n") << archive;
  }
}

// In a shared sticky directory another user cannot have the default extraction write through a
// link, into a FIFO or into a file of theirs; with a run command, which would use what was
// written, the payload goes into a private directory made there, past what they planted.
TEST_F(Extract, DefaultExtractCommandInASharedDirectory) {
  if (geteuid() != 0 || test::run({"setpriv", "--help"}).status != 0)
    GTEST_SKIP() << "needs root and setpriv to plant files as another user";
  test::write_file(tool / "src/setup.sh", "echo installed > done\n");
  build({"-C", "", "src/setup.sh"});
  build({"-C", "", "-r", "sh ./setup.sh", "src/setup.sh"}, "r.run");
  chmod(tool.path().c_str(), 0755);
  chmod((tool / "out").c_str(), 01777);
  test::write_file(tool / "victim", "victim's data");
  struct {
    const char *plant, *message;
  } cases[] = {
      {"ln -s ../victim setup.sh", "a symbolic link is in the way"},
      {"mkfifo -m 666 setup.sh", "not a regular file"},
      {"echo 'echo attacker > done' > setup.sh; chmod 666 setup.sh",
       "the file belongs to another user"},
  };
  for (const auto &c : cases) {
    unlink((tool / "out/setup.sh").c_str());
    auto p = run_archive(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c", c.plant});
    ASSERT_EQ(p.status, 0) << p.err;
    auto r = run_archive({"../a.run"});
    EXPECT_EQ(r.status, 1) << c.plant;
    EXPECT_EQ(r.err, std::string("../a.run: setup.sh: ") + c.message + "\n");
    r = run_archive({"../r.run", "-q"});
    EXPECT_EQ(r.status, 0) << c.plant << r.err;
    EXPECT_NE(r.err.find("/payload (kept)\n"), std::string::npos) << r.err;
    EXPECT_NE(access((tool / "out/done").c_str(), F_OK), 0) << c.plant;
    EXPECT_EQ(test::read_file(tool / "victim"), "victim's data");
  }
  // A file of one's own is written over, as before.
  unlink((tool / "out/setup.sh").c_str());
  test::write_file(tool / "out/setup.sh", "old");
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_EQ(test::read_file(tool / "out/setup.sh"), "echo installed > done\n");
}

// The default extraction writes only a plain file name into the current directory: a stored
// name or a NAME= value that is empty or leads elsewhere is refused before anything is made, and
// the run command does not run. An extract command of the archive's own still gets the name as
// it is stored: that command decides what a name with directories means.
TEST_F(Extract, StoredNamesThatLeaveTheDirectory) {
  std::string data = "payload\n";
  // Run two levels down, so that every name that leads out lands within the test's directory.
  std::string here = tool / "in/here";
  mkdir((tool / "in").c_str(), 0755);
  mkdir(here.c_str(), 0755);
  mkdir((here + "/a").c_str(), 0755);
  test::RunOptions in_here;
  in_here.cwd = here;
  std::string absolute = tool / "abs";
  const std::string not_plain = ": the stored name is not a plain file name\n";
  const std::string empty = "../../a.run: the stored name is empty\n";
  struct {
    std::string features, payload, message;
  } cases[] = {
      {"", test::gzip_member(data, "../escaped.txt"), "../../a.run: ../escaped.txt" + not_plain},
      {"", test::gzip_member(data, "."), "../../a.run: ." + not_plain},
      {"", test::gzip_member(data, ".."), "../../a.run: .." + not_plain},
      {"", test::gzip_member(data, "a/b"), "../../a.run: a/b" + not_plain},
      {"", test::gzip_member(data, "f/"), "../../a.run: f/" + not_plain},
      {"", test::gzip_member(data, absolute.c_str()), "../../a.run: " + absolute + not_plain},
      {"", test::gzip_member(data, ""), empty},
      {"NOCOMPR,NAME=../../evil", data, "../../a.run: ../../evil" + not_plain},
      {"NOCOMPR,NAME=.", data, "../../a.run: ." + not_plain},
      {"NOCOMPR,NAME=..", data, "../../a.run: .." + not_plain},
      {"NOCOMPR,NAME=a/b", data, "../../a.run: a/b" + not_plain},
      {"NOCOMPR,NAME=", data, empty},
  };
  for (const auto &c : cases) {
    tool.make_archive("a.run", c.features, "", "touch ran", "", c.payload);
    auto r = tool.run({"../../a.run"}, in_here);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(entries(tool / "in"), std::vector<std::string>{"here"}) << c.message;
    EXPECT_EQ(entries(here), std::vector<std::string>{"a"}) << c.message;
    EXPECT_EQ(entries(here + "/a"), std::vector<std::string>{}) << c.message;
    for (const char *outside : {"evil", "abs"})
      EXPECT_NE(access((tool / outside).c_str(), F_OK), 0) << c.message << outside;
  }
  // With -x the payload goes to standard output as before.
  tool.make_archive("a.run", "", "", "", "", test::gzip_member(data, "../escaped.txt"));
  auto r = run_archive({"../a.run", "-x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(r.err, "Deflating ../escaped.txt...\n");
  // On a terminal the refused name is shown escaped.
  tool.make_archive("a.run", "", "", "", "", test::gzip_member(data, "../\033[2Kx"));
  test::RunOptions o;
  o.terminal = true;
  r = run_archive({"../a.run"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "../a.run: ../\\033[2Kx" + not_plain);
  // An extract command of the archive gets the stored name unchanged.
  tool.make_archive("a.run", "", "", "touch ran", "cat > %o",
                    test::gzip_member(data, "../escaped.txt"));
  r = run_archive({"../a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "escaped.txt"), data);
  EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK), 0);
  mkdir((tool / "out/a").c_str(), 0755);
  tool.make_archive("a.run", "NOCOMPR,NAME=a/b", "", "", "cat > %o", data);
  EXPECT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_EQ(test::read_file(tool / "out/a/b"), data);
}

// A failed default extraction leaves the name as it was, the old file byte for byte or no file,
// and no temporary file: a damaged or cut payload, an empty raw payload, a file size limit, a
// name the directory cannot hold.
TEST_F(Extract, FailedDefaultExtractionKeepsTheOldFile) {
  std::string data = test::random_bytes(200000, 14);
  std::string m = test::gzip_member(data, "f");
  std::string bad_crc = m, bad_length = m;
  bad_crc[m.size() - 6] ^= 0x40;
  bad_length[m.size() - 2] ^= 0x01;
  std::string old = test::random_bytes(70000, 15);
  std::string long_name(300, 'n');
  struct {
    const char *what;
    std::string features, payload, shell, message;
  } cases[] = {
      {"crc", "", bad_crc, "", "\n../a.run: ../a.run: invalid compressed data--crc error\n"},
      {"length", "", bad_length, "",
       "\n../a.run: ../a.run: invalid compressed data--length error\n"},
      {"cut", "", m.substr(0, m.size() / 2), "", "\n../a.run: ../a.run: unexpected end of file\n"},
      {"empty", "NOCOMPR,NAME=f", "", "", "../a.run: ../a.run: the payload is empty\n"},
      {"limit", "", m, "ulimit -f 64; ", "\n../a.run: f: File too large\n"},
      {"limit raw", "NOCOMPR,NAME=f", data, "ulimit -f 64; ", "\n../a.run: f: File too large\n"},
      {"long name", "", test::gzip_member(data, long_name.c_str()), "",
       "../a.run: " + long_name + ": "},
  };
  for (const auto &c : cases) {
    for (bool before : {true, false}) {
      unlink((tool / "out/f").c_str());
      if (before)
        test::write_file(tool / "out/f", old, 0640);
      tool.make_archive("a.run", c.features, "", "touch ran", "", c.payload);
      auto r = run_archive({"sh", "-c", c.shell + "exec ../a.run"});
      EXPECT_EQ(r.status, 1) << c.what;
      if (c.message.ends_with(": ")) // the C libraries word ENAMETOOLONG differently
        EXPECT_TRUE(r.err.starts_with(c.message) && r.err.ends_with(" too long\n")) << r.err;
      else
        EXPECT_EQ(r.err, c.message) << c.what;
      if (before) {
        EXPECT_TRUE(test::read_file(tool / "out/f") == old) << c.what;
        EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{"f"}) << c.what;
      } else {
        EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{}) << c.what;
      }
    }
  }
}

// The new file has the modes a new file gets (0666 less the umask), or the permission bits of the
// file of ours that it replaces; that file's other links keep the old bytes. A file of ours that
// may not be written is refused, as ">" refuses it.
TEST_F(Extract, DefaultExtractionModesAndLinks) {
  test::write_file(tool / "src/f", "new");
  build({"src/f"});
  struct stat st;
  auto mode_of = [&](const std::string &path) {
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  for (auto [umask, mode] : {std::pair{"027", 0640}, {"0", 0666}, {"077", 0600}}) {
    unlink((tool / "out/f").c_str());
    std::string run = std::string("umask ") + umask + "; exec ../a.run";
    auto r = run_archive({"sh", "-c", run});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(mode_of(tool / "out/f"), mode) << umask;
    // Set-ID bits do not stay on the new content.
    for (auto [before, after] : {std::pair{0604, 0604}, {0751, 0751}, {04755, 0755}}) {
      chmod((tool / "out/f").c_str(), static_cast<mode_t>(before));
      r = run_archive({"sh", "-c", run});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(mode_of(tool / "out/f"), after) << umask << " " << before;
      EXPECT_EQ(test::read_file(tool / "out/f"), "new");
    }
  }
  test::write_file(tool / "out/f", "old");
  ASSERT_EQ(link((tool / "out/f").c_str(), (tool / "other").c_str()), 0);
  ASSERT_EQ(run_archive({"../a.run"}).status, 0);
  EXPECT_EQ(test::read_file(tool / "out/f"), "new");
  EXPECT_EQ(test::read_file(tool / "other"), "old");
  EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{"f"});
  if (geteuid() != 0)
    return;
  // Root keeps the group of the file replaced too.
  chown((tool / "out/f").c_str(), 0, 65534);
  chmod((tool / "out/f").c_str(), 0660);
  ASSERT_EQ(run_archive({"sh", "-c", "umask 077; exec ../a.run"}).status, 0);
  ASSERT_EQ(stat((tool / "out/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
}

TEST_F(Extract, ReadOnlyFileOfOursIsRefused) {
  test::write_file(tool / "src/f", "new");
  build({"src/f"});
  std::vector<std::string> argv = {"../a.run"};
  mkdir((tool / "ro").c_str(), 0755);
  test::write_file(tool / "ro/f", "old", 0444);
  if (geteuid() == 0) {
    // Root may write any file: the case is tried as nobody in a directory of nobody's.
    if (test::run({"setpriv", "--help"}).status != 0)
      GTEST_SKIP() << "needs setpriv to run as another user";
    chmod(tool.path().c_str(), 0755);
    chown((tool / "ro").c_str(), 65534, 65534);
    chown((tool / "ro/f").c_str(), 65534, 65534);
    argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  }
  test::RunOptions o;
  o.cwd = tool / "ro";
  auto r = tool.run(argv, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../a.run: f: Permission denied\n");
  EXPECT_EQ(test::read_file(tool / "ro/f"), "old");
  EXPECT_EQ(entries(tool / "ro"), std::vector<std::string>{"f"});
}

// Which current directories a run with commands takes: those that only root, this user (the user
// who ran sudo, for root) and their groups may change, up to the root. In one where others may
// only make entries (a sticky one, as /tmp is), the payload goes into a private directory made
// there, which stays and is named.
TEST_F(Extract, CurrentDirectoryThatOthersMayChange) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give directories to other users";
  tool.make_archive("a.run", "", "", "echo ran > ran", "", test::gzip_member("x", "f"));
  chmod(tool.path().c_str(), 0755);
  enum Where { refused, in_place, private_dir, refused_group };
  struct Case {
    uid_t owner;
    gid_t group;
    mode_t mode;
    std::vector<std::string> env;
    bool above; // the directory above "out" is given instead
    Where where;
    const char *acl = nullptr;        // given with setfacl -m
    std::vector<std::string> as = {}; // who runs it, with setpriv
  } cases[] = {
      {0, 0, 0755, {}, false, in_place},
      {0, 0, 01777, {}, false, private_dir},
      {0, 0, 0777, {}, false, refused},
      {65534, 0, 0755, {}, false, refused},
      {65534, 0, 0755, {"SUDO_UID=65534"}, false, in_place},
      {65534, 0, 0755, {"SUDO_UID=65534x"}, false, refused},
      {0, 65534, 0775, {}, false, refused}, // nobody's primary group
      {0, 0, 0775, {}, false, in_place},    // root's group, which is root's alone
      {0, 65534, 03775, {}, false, private_dir},
      {0, 65534, 02755, {}, false, private_dir}, // what is made there takes nobody's group
      // A group of others gets write when tar gives "./" the mode the archive recorded, unless
      // it is the run's own group, which what the run makes takes anyway; but root, whose tar
      // gives entries the modes recorded whatever the umask, must run with a group of its own.
      {0, 65534, 0755, {}, false, private_dir},
      {65534,
       65534,
       0755,
       {},
       false,
       in_place,
       nullptr,
       {"--reuid=65534", "--regid=65534", "--clear-groups"}},
      {0, 0, 0755, {}, false, refused_group, nullptr, {"--regid=65534", "--clear-groups"}},
      // The shell the commands run in takes the real group.
      {0,
       0,
       0755,
       {},
       false,
       refused_group,
       nullptr,
       {"--rgid=65534", "--egid=0", "--clear-groups"}},
      {65534, 0, 0755, {}, true, refused},
      // An ACL entry for another user hides behind the group bits of a group that is root's
      // alone, or behind a mask without write; one that gives no write is harmless. A default ACL
      // would give what the commands write an entry for another user.
      {0, 0, 0775, {}, false, refused, "u:65534:rwx"},
      {0, 0, 0775, {}, false, in_place, "u:65534:rx"},
      {0, 0, 0755, {}, false, refused, "u:65534:rwx,m::rx"}, // the mask a chmod g+w widens
      {0, 0, 0755, {}, false, private_dir, "d:u:65534:rwx"},
      {0, 0, 0755, {}, false, in_place, "d:u:65534:rx"},
      {0, 0, 0755, {}, false, private_dir, "d:o::rwx"},
  };
  for (const Case &c : cases) {
    std::string dir = c.above ? tool.path() : tool / "out";
    ASSERT_EQ(chown(dir.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
    if (c.acl && test::run({"setfacl", "-m", c.acl, dir}).status != 0) {
      ADD_FAILURE() << "setfacl cannot give an ACL entry here";
      continue;
    }
    test::run({"sh", "-c", "cd \"$0\" && rm -rf ran f vardo.*", tool / "out"});
    test::RunOptions o;
    o.cwd = tool / "out";
    o.env = c.env;
    std::vector<std::string> argv = c.as;
    if (!argv.empty())
      argv.insert(argv.begin(), "setpriv");
    argv.insert(argv.end(), {"../a.run", "-q"});
    auto r = tool.run(argv, o);
    std::string what = std::to_string(c.owner) + ":" + std::to_string(c.group) + " " +
                       std::to_string(c.mode) + (c.above ? " above" : "") +
                       (c.env.empty() ? "" : " " + c.env[0]) + (c.acl ? c.acl : "") +
                       (c.as.empty() ? "" : " as " + c.as[0]);
    EXPECT_EQ(r.status, c.where == refused || c.where == refused_group ? 1 : 0) << what << r.err;
    EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK) == 0, c.where == in_place) << what;
    if (c.where == private_dir) {
      std::string kept = "../a.run: the payload is in " + tool / "out/";
      std::string name = r.err.substr(kept.size(), 12); // vardo.XXXXXX
      EXPECT_EQ(r.err, kept + name + "/payload (kept)\n") << what;
      EXPECT_EQ(test::read_file(tool / ("out/" + name + "/payload/ran")), "ran\n") << what;
      // Without the directory's group or default ACL, whoever moves the payload elsewhere.
      EXPECT_EQ(test::run({"getfacl", "-cn", tool / ("out/" + name + "/payload")}).out,
                "user::rwx\ngroup::---\nother::---\n\n")
          << what;
    }
    if (c.where == refused) {
      EXPECT_NE(r.err.find(": another user may change what this directory holds"),
                std::string::npos)
          << what << r.err;
    }
    if (c.where == refused_group) {
      EXPECT_EQ(r.err, "../a.run: running as root with group 65534, which other users share, the "
                       "commands would make what they may change; run with a group of your own\n");
      EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{});
    }
    test::run({"setfacl", "-b", dir});
    ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  }
  // An extract command that gives the directory to others, as tar does with an entry "./", leaves
  // the run command unrun.
  tool.make_archive("b.run", "", "", "echo ran > ran", "cat > f; chmod 0777 .",
                    test::gzip_member("x", "f"));
  test::RunOptions in_out;
  in_out.cwd = tool / "out";
  auto unrun = tool.run({"../b.run", "-q"}, in_out);
  EXPECT_EQ(unrun.status, 1) << unrun.err;
  EXPECT_NE(unrun.err.find(": another user may change what this directory holds, or the "
                           "directories above it; the run command is not run\n"),
            std::string::npos)
      << unrun.err;
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  // Without a run command, the run fails all the same.
  ASSERT_EQ(chmod((tool / "out").c_str(), 0755), 0);
  tool.make_archive("e.run", "", "", "", "cat > f; chmod 0777 .", test::gzip_member("x", "f"));
  unrun = tool.run({"../e.run", "-q"}, in_out);
  EXPECT_EQ(unrun.status, 1) << unrun.err;
  EXPECT_EQ(unrun.err, "../e.run: " + tool / "out" +
                           ": another user may change what this directory holds, or the "
                           "directories above it; what was unpacked may have been changed\n");
  ASSERT_EQ(chmod((tool / "out").c_str(), 0755), 0);
  // So for what the extract command made or changed there (tar run as root gives each entry the
  // owner, group and mode the archive recorded), and for every directory there, through which the
  // commands may reach what they made. Other files that were there before are not the run's; nor
  // is a private temporary directory's content within another user's reach.
  ASSERT_EQ(test::run({"sh", "-c", "cd \"$0\" && echo > old && mkdir -p own/bin && chown 65534 old",
                       tool / "out"})
                .status,
            0);
  std::string probe = tool / "out/probe";
  auto settle = [&] { // until the file system's clock has moved on from what was made before
    struct stat made, now;
    ASSERT_TRUE(test::run({"touch", probe}).status == 0 && lstat(probe.c_str(), &made) == 0);
    do
      ASSERT_TRUE(utimensat(AT_FDCWD, probe.c_str(), nullptr, 0) == 0 &&
                  lstat(probe.c_str(), &now) == 0);
    while (now.st_ctim.tv_sec == made.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == made.st_ctim.tv_nsec);
    unlink(probe.c_str());
  };
  std::string shared_entry = ": another user may change this, as it was unpacked", deep;
  std::string shared_dir =
      ": another user may change what this directory holds, or the directories above it";
  for (int level = 0; level < 64; ++level)
    deep += "/d";
  struct {
    std::string extract;
    std::string refused; // what the message says of the entry refused; none: the run command runs
    bool temporary = false;  // in a temporary directory (-T), which the run removes
    std::string before = ""; // run in the directory before the archive
  } given[] = {
      // The walk reads no directory 64 levels down, and refuses it.
      {"mkdir -p ." + deep + "; cat > f", "." + deep + ": could not be checked"},
      {"cat > f; chown 65534 f", "./f" + shared_entry},
      {"mkdir -p d/e; cat > d/e/f; chown 65534 d", "./d" + shared_entry},
      {"mkdir -p d/e; cat > d/e/f; chmod 0666 d/e/f", "./d/e/f" + shared_entry},
      {"cat > f; chgrp 65534 f; chmod 0464 f", "./f" + shared_entry}, // nobody's group may write
      {"cat > f; chgrp 65534 f", ""},
      // Others may add entries the run command takes up, or have what it makes there shared.
      {"mkdir d; chmod 1777 d; cat > f", "./d" + shared_entry},
      {"mkdir d; setfacl -d -m u:65534:rwx d; cat > f", "./d" + shared_entry},
      {"mkdir d; chgrp 65534 d; chmod 2755 d; cat > f", "./d" + shared_entry},
      {"mkdir d; chgrp 65534 d; cat > f", ""},         // its group alone reaches nothing made there
      {"cat > f; ln -s /etc l; chown -h 65534 l", ""}, // no one changes where a link leads
      {"cat > f; mkfifo l", ""},                       // looked at without waiting for a writer
      {"cat > f; mknod l c 1 3; chmod 0666 l", ""},    // nor is a device opened, which all may
      {"cat > f; mknod l c 1 3; chown 65534 l", "./l" + shared_entry}, // use where it says so
      {"cat > f; chown 65534 f .", "", true},
      {"cat > f; chown 65534 old", "./old" + shared_entry},
      // Below a directory of another user's that was there, what the command made there, which
      // they may replace, and a link, which they may have put there for the commands to write
      // and run through; what was there alone is not the run's.
      {"cat > theirs/bin/f", "./theirs/bin" + shared_dir, false,
       "mkdir -p theirs/bin && chown 65534 theirs"},
      {"cat > f", "./theirs/bin/l" + shared_dir, false,
       "mkdir -p theirs/bin && ln -s /tmp theirs/bin/l && chown 65534 theirs"},
      {"cat > f", "", false, "mkdir -p theirs/bin && echo > theirs/bin/f && chown 65534 theirs"},
      // Made below a directory of ours that was there, whose status does not change.
      {"cat > own/bin/f; chown 65534 own/bin/f", "./own/bin/f" + shared_entry},
      // Written through a link that was there to a directory elsewhere, however deep or through a
      // chain of links; where it leads, only what the command made counts, and the walk ends
      // however many links lead to one directory or back up.
      {"cat > data/f; chown 65534 data/f", "./data/f" + shared_entry, false,
       "mkdir -p ../far && ln -s ../far data"},
      {"cat > data/sub/f; chown 65534 data/sub/f", "./data/sub/f" + shared_entry, false,
       "mkdir -p ../far/sub && ln -s ../hop data && ln -s far ../hop"},
      {"cat > f", "", false,
       "mkdir -p ../far/up ../open/mine && echo > ../far/old && chown 65534 ../far/old && "
       "ln -s ../far data && ln -s ../far more && ln -s .. ../far/up/back && ln -s . loop && "
       "ln -s ../nowhere gone && chmod 1777 ../open && ln -s ../open/mine mine"},
      {"cat > data/f", "./data/f" + shared_dir, false,
       "mkdir -p ../far && chmod 1777 ../far && ln -s ../far data"},
      // A link is followed even where its status looks new, as anyone may set a link's times
      // (and the owner its owner); links within the tree, which it reads anyway, are not counted.
      {"cat > data/f; chown 65534 data/f; chown -h 65534 data", "./data/f" + shared_entry, false,
       "mkdir -p ../far && ln -s ../far data && chown -h 65534 data"},
      {"cat > data/f; chown 65534 data/f; setpriv --reuid=65534 touch -h data",
       "./data/f" + shared_entry, false, "mkdir -p ../far && ln -s ../far data"},
      {"cat > f", "", false,
       "mkdir store && for i in $(seq 70); do mkdir store/$i && ln -s store/$i l$i; done && "
       "mkdir ../far && for i in $(seq 70); do mkdir ../far/$i && ln -s ../far/$i o$i; done && "
       "for i in $(seq 40); do mkdir -p t/$i && ln -s ../$((i+1)) t/$i/a && ln -s ../$((i+1)) "
       "t/$i/b; done"},
      // A directory another user could change before the command ran is theirs still, though the
      // command gave it to root (tar gives "d/" the owner and mode the archive recorded): they
      // may have put or renamed anything there.
      {"cat > f; chown 0 d", "./d" + shared_entry, false,
       "mkdir d && echo > d/old && chown -R 65534 d"},
      {"cat > d/f; chmod 0755 d", "./d" + shared_entry, false,
       "mkdir -m 1777 d && ln -s /tmp d/l && chown -h 65534 d/l"},
      {"cat > f; chmod 0755 data/", "./data" + shared_entry, false,
       "mkdir -m 1777 ../far && echo > ../far/old && chown 65534 ../far/old && ln -s ../far data"},
      // So is a directory below one noted as theirs, where a link the command made leads.
      {"cat > f; chown 0 data/p/e; rm data; ln -s ../far/p/e data", "./data" + shared_entry, false,
       "mkdir -p ../far/p/e && chmod 1777 ../far/p && echo > ../far/p/e/old && "
       "chown -R 65534 ../far/p/e && ln -s ../far data"},
      // So, where a link the command made leads, a directory it changed: what it was is unknown.
      {"cat > f; ln -s ../far data; chmod 0755 data/p", "./data/p: could not be checked", false,
       "mkdir -p ../far/p && chmod 1777 ../far/p && echo > ../far/p/old && chown 65534 "
       "../far/p/old"},
      {"cat > f; ln -s ../far data; chmod 0755 data/", "./data: could not be checked", false,
       "mkdir -m 1777 ../far"},
      // Nor may another user change where it leads, even to nowhere now: a directory or a link
      // on the way that is theirs, or a name in a sticky directory that is not ours.
      {"cat > f", "./data" + shared_dir, false,
       "mkdir -p ../theirs && chown 65534 ../theirs && ln -s ../theirs/app data"},
      {"cat > f", "./data" + shared_dir, false,
       "mkdir -p ../far ../theirs && ln -s ../far ../theirs/now && chown -h 65534 ../theirs/now "
       "../theirs && "
       "ln -s ../theirs/now data"},
      {"cat > f", "./data" + shared_dir, false,
       "mkdir -p ../open/x && chmod 1777 ../open && chown 65534 ../open/x && ln -s "
       "\"$PWD\"/../open/x data"},
  };
  for (const auto &c : given) {
    bool runs = c.refused.empty();
    tool.make_archive("g.run", "", "", "echo ran > ran", c.extract, test::gzip_member("x", "f"));
    ASSERT_EQ(
        test::run({"sh", "-c", "cd \"$0\" && " + (c.before.empty() ? ":" : c.before), tool / "out"})
            .status,
        0);
    settle();
    // With a small stack too, which the tool raises for its walks.
    unrun = tool.run(
        {"sh", "-c", "ulimit -S -s 64 && exec ../g.run -q $0", c.temporary ? "-T" : "-s"}, in_out);
    EXPECT_EQ(unrun.status, runs ? 0 : 1) << c.extract << unrun.err;
    EXPECT_EQ(unrun.err, runs ? "" : "../g.run: " + c.refused + "; the run command is not run\n")
        << c.extract;
    EXPECT_EQ(access((tool / "out/ran").c_str(), F_OK) == 0, runs && !c.temporary) << c.extract;
    test::run({"sh", "-c",
               "cd \"$0\" && rm -rf f d l ran theirs own/bin/f data more loop gone mine store "
               "l[0-9]* o[0-9]* t ../far ../hop "
               "../theirs ../open",
               tool / "out"});
  }
  // A user's run passes over a directory of root's they may not search (an ext4's lost+found),
  // where their commands reached nothing, and refuses one they may search but not read.
  for (std::string mode : {"0700", "0750", "0711"}) {
    ASSERT_EQ(test::run({"sh", "-c", "cd \"$0\" && mkdir -m " + mode + " lost && chown 65534 .",
                         tool / "out"})
                  .status,
              0);
    unrun = tool.run(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "../g.run", "-q"}, in_out);
    EXPECT_EQ(unrun.status, mode == "0711" ? 1 : 0) << mode << unrun.err;
    EXPECT_EQ(unrun.err, mode != "0711" ? ""
                                        : "../g.run: ./lost: could not be checked; the run "
                                          "command is not run\n");
    test::run({"sh", "-c", "cd \"$0\" && rm -rf lost ran f && chown 0 .", tool / "out"});
  }
  // A directory the note before the extract command could not read may have held anything.
  ASSERT_EQ(test::run({"sh", "-c",
                       "cd \"$0\" && mkdir -p build/p && chmod 0777 build/p && chmod 0311 build && "
                       "chown -R 65534 .",
                       tool / "out"})
                .status,
            0);
  tool.make_archive("u.run", "", "", "echo ran > ran", "cat > f; chmod 0755 build build/p",
                    test::gzip_member("x", "f"));
  unrun = tool.run(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "../u.run", "-q"}, in_out);
  EXPECT_EQ(unrun.err, "../u.run: ./build" + shared_entry + "; the run command is not run\n");
  test::run({"sh", "-c", "cd \"$0\" && rm -rf build f ran && chown 0 .", tool / "out"});
  // Nor does the walk enter another filesystem mounted there.
  if (test::run({"unshare", "-m", "true"}).status == 0) {
    mkdir((tool / "out/mnt").c_str(), 0755);
    tool.make_archive("g.run", "", "", "echo ran > ran", "cat > f", test::gzip_member("x", "f"));
    unrun =
        tool.run({"unshare", "-m", "sh", "-c", "mount -t tmpfs t mnt && exec ../g.run -q"}, in_out);
    EXPECT_EQ(unrun.status, 1);
    EXPECT_EQ(unrun.err, "../g.run: ./mnt: another filesystem is mounted here; the run command is "
                         "not run\n");
    // Where a link that was there leads to another filesystem, whose clock is not the mark's,
    // everything counts as made.
    unrun = tool.run(
        {"unshare", "-m", "sh", "-c",
         "rmdir mnt && mkdir ../far && mount -t tmpfs -o mode=755 t ../far && echo > ../far/old && "
         "chown 65534 ../far/old && ln -s ../far data && exec ../g.run -q"},
        in_out);
    EXPECT_EQ(unrun.status, 1);
    EXPECT_EQ(unrun.err, "../g.run: ./data/old" + shared_entry + "; the run command is not run\n");
    // ... and a link there is followed too.
    tool.make_archive("h.run", "", "", "echo ran > ran",
                      "cat > data/current/f; chown 65534 data/current/f",
                      test::gzip_member("x", "f"));
    unrun = tool.run({"unshare", "-m", "sh", "-c",
                      "rm -f data f && mkdir ../away && mount -t tmpfs -o mode=755 t ../far && "
                      "ln -s ../away ../far/current && ln -s ../far data && exec ../h.run -q"},
                     in_out);
    EXPECT_EQ(unrun.err,
              "../h.run: ./data/current/f" + shared_entry + "; the run command is not run\n");
    // A user's link to a disk of theirs passes over its lost+found, which the note could not read.
    unrun = tool.run({"unshare", "-m", "sh", "-c",
                      "rm -rf data f ran && mount -t tmpfs -o mode=755 t ../far && mkdir -m 0700 "
                      "../far/lost && chown 65534 ../far . && ln -s ../far data && exec setpriv "
                      "--reuid=65534 --regid=65534 --clear-groups ../g.run -q"},
                     in_out);
    EXPECT_EQ(unrun.status, 0) << unrun.err;
    test::run({"sh", "-c", "cd \"$0\" && chown 0 .", tool / "out"});
#ifdef VARDO_STATIC // (the sanitizers need /proc)
    // Without /proc, the directories a link leads through are opened for reading, so that their
    // ACLs can be read.
    unrun = tool.run({"unshare", "-m", "sh", "-c",
                      "rm -rf data f ran && mount -t tmpfs t /proc && ln -s ../away data && "
                      "exec ../g.run -q"},
                     in_out);
    EXPECT_EQ(unrun.status, 0) << unrun.err;
#endif
  }
  test::run(
      {"sh", "-c", "cd \"$0\" && rm -rf old own mnt f ran data ../far ../away", tool / "out"});
  // So for the directory an archive's space check names, where its commands work, and for what
  // the extract command made there.
  std::string inst = tool / "v/inst";
  mkdir((tool / "v").c_str(), 0755);
  for (const auto &[given, refused] :
       {std::pair<std::string, std::string>{"chmod 0777 " + inst,
                                            ": another user may change what this directory "
                                            "holds, or the directories above it"},
        {"chown 65534 " + inst + "/f", "/f: another user may change this, as it was unpacked"}}) {
    test::run({"rm", "-rf", inst});
    tool.make_archive("c.run", "VFYFS=" + tool / "v" + ",FSSUB=inst", "", "echo ran > ran",
                      "mkdir " + inst + "; cat > " + inst + "/f; " + given,
                      test::gzip_member("x", "f"));
    unrun = tool.run({"../c.run", "-q"}, in_out);
    EXPECT_EQ(unrun.status, 1) << unrun.err;
    EXPECT_EQ(unrun.err, "../c.run: " + inst + refused + "; the run command is not run\n");
  }
  // ... which the run command looks up again by name: a link there is refused too, however the
  // name is spelled (a trailing "/" would follow the link, "x/.." leads through x).
  for (const char *sub : {"inst", "inst/", "x/../inst"}) {
    test::run({"rm", "-rf", inst, inst + "2"});
    tool.make_archive("d.run", "VFYFS=" + tool / "v" + ",FSSUB=" + sub, "", "echo ran > ran",
                      "mkdir " + inst + "2; ln -s inst2 " + inst + "; cat > " + inst + "/f",
                      test::gzip_member("x", "f"));
    unrun = tool.run({"../d.run", "-q"}, in_out);
    EXPECT_EQ(unrun.status, 1) << sub << unrun.err;
    EXPECT_NE(unrun.err.find(tool / "v/" + sub + ": another user may change"), std::string::npos)
        << unrun.err;
  }
  EXPECT_NE(access((tool / "out/ran").c_str(), F_OK), 0);
  // Where the extract command does not make that directory, the one above it that was there gives
  // the mark: another user's entry that was there is not the run's.
  test::run({"rm", "-rf", inst, inst + "2"});
  ASSERT_EQ(
      test::run({"sh", "-c", "mkdir \"$0\"/old && chown 65534 \"$0\"/old", tool / "v"}).status, 0);
  settle();
  tool.make_archive("c.run", "VFYFS=" + tool / "v" + ",FSSUB=inst", "", "echo ran > ran", "cat > f",
                    test::gzip_member("x", "f"));
  unrun = tool.run({"../c.run", "-q"}, in_out);
  EXPECT_EQ(unrun.status, 0) << unrun.err;
  test::run({"sh", "-c", "cd \"$0\" && rm -rf ran f ../v/old", tool / "out"});
  // The directory a temporary directory is made in, and a target's, are held to the same rule,
  // and refused before anything is made.
  std::string theirs = tool / "theirs";
  mkdir(theirs.c_str(), 0755);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  test::RunOptions o;
  o.env = {"TMPDIR=" + theirs};
  auto r = run_archive({"../a.run", "-q", "-T"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../a.run: " + theirs +
                       ": another user may change what this directory holds, or the directories "
                       "above it; set TMPDIR to a directory of yours\n");
  r = run_archive({"../a.run", "-q", "-d", theirs + "/t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, theirs + ": other users may write into this directory; not used.\n");
  // A link of root's that leads below a directory of another user's.
  mkdir((theirs + "/a").c_str(), 0755);
  ASSERT_EQ(symlink((theirs + "/a").c_str(), (tool / "link").c_str()), 0);
  r = run_archive({"../a.run", "-q", "-d", tool / "link"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../a.run: " + theirs +
                       "/a: another user may change what this directory holds, or the directories "
                       "above it; choose a target directory of yours\n");
  rmdir((theirs + "/a").c_str());
  EXPECT_EQ(entries(theirs), std::vector<std::string>{});
  // A target made below a directory of root's whose setgid bit gives what is made there a group
  // of others, and whose default ACL gives another user write: made with neither.
  std::string shared = tool / "shared";
  mkdir(shared.c_str(), 0755);
  ASSERT_EQ(chown(shared.c_str(), 0, 65534), 0);
  ASSERT_EQ(chmod(shared.c_str(), 02755), 0);
  ASSERT_EQ(test::run({"setfacl", "-d", "-m", "u:65534:rwx", shared}).status, 0);
  r = run_archive({"../a.run", "-q", "-d", shared + "/t/u"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const std::string &made : {shared + "/t", shared + "/t/u"}) {
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 0u) << made;
    for (const char *acl : {"system.posix_acl_access", "system.posix_acl_default"})
      EXPECT_EQ(getxattr(made.c_str(), acl, nullptr, 0), -1) << made << " " << acl;
  }
}

// While a default extraction runs in a directory that everyone may write into (mode 0777, not
// sticky), another user swaps names in it: a link put at the output name does not carry root's
// write, and a temporary file replaced by another user's is not renamed onto the name.
TEST_F(Extract, DefaultExtractionAgainstSwappedNames) {
  if (geteuid() != 0 || test::run({"setpriv", "--help"}).status != 0)
    GTEST_SKIP() << "needs root and setpriv to swap names as another user";
  std::string script = "echo installed > done\nexit 0\n" + test::random_bytes(200000, 16);
  tool.make_archive("a.run", "", "", "sh ./setup.sh", "", test::gzip_member(script, "setup.sh"));
  chmod(tool.path().c_str(), 0755);
  chmod((tool / "out").c_str(), 0777);
  // A run command would run what another user may have replaced meanwhile: refused at once.
  auto refused = run_archive({"../a.run"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "../a.run: " + tool / "out" +
                             ": another user may change what this directory holds, or the "
                             "directories above it; unpack with -d DIR or -T\n");
  EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{});
  // Without one, the tool's own extraction writes the file there safely.
  tool.make_archive("a.run", "", "", "", "", test::gzip_member(script, "setup.sh"));
  std::string archive = test::read_file(tool / "a.run");
  test::write_file(tool / "victim", "victim's data", 0600);
  auto as_nobody = [&](const std::string &cmd) {
    return run_archive(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c", cmd});
  };
  struct {
    const char *before, *swap;
  } cases[] = {
      {nullptr, "ln -s ../victim setup.sh"},
      {"old", "rm -f setup.sh && ln -s ../victim setup.sh"},
  };
  for (const auto &c : cases) {
    unlink((tool / "out/setup.sh").c_str());
    unlink((tool / "out/done").c_str());
    if (c.before)
      test::write_file(tool / "out/setup.sh", c.before);
    FedArchive fed(tool, "a", archive);
    ASSERT_TRUE(await_temporaries(tool / "out", 1));
    auto p = as_nobody(c.swap);
    ASSERT_EQ(p.status, 0) << p.err;
    auto r = fed.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::read_file(tool / "victim"), "victim's data") << c.swap;
    struct stat st;
    ASSERT_EQ(lstat((tool / "out/setup.sh").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.swap;
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_TRUE(test::read_file(tool / "out/setup.sh") == script) << c.swap;
    EXPECT_EQ(entries(tool / "out"), (std::vector<std::string>{"setup.sh"}));
  }
  // Another user's file in place of the temporary file is refused, and left to its owner.
  unlink((tool / "out/setup.sh").c_str());
  unlink((tool / "out/done").c_str());
  FedArchive fed(tool, "a", archive);
  ASSERT_TRUE(await_temporaries(tool / "out", 1));
  auto p = as_nobody("for t in .vardo-*; do rm -f \"$t\"; echo 'echo attacker > done' > \"$t\"; "
                     "done");
  ASSERT_EQ(p.status, 0) << p.err;
  auto r = fed.finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../vardo: setup.sh: the temporary file was replaced; not used\n");
  auto names = entries(tool / "out");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].starts_with(".vardo-")) << names[0];
  EXPECT_EQ(test::read_file(tool / ("out/" + names[0])), "echo attacker > done\n");
}

// A signal that ends a default extraction leaves no temporary file, and the name keeps its file.
TEST_F(Extract, SignalDuringDefaultExtraction) {
  tool.make_archive("a.run", "", "", "touch ran", "",
                    test::gzip_member(test::random_bytes(200000, 17), "f"));
  std::string archive = test::read_file(tool / "a.run");
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    test::write_file(tool / "out/f", "old");
    FedArchive fed(tool, "a", archive);
    ASSERT_TRUE(await_temporaries(tool / "out", 1));
    kill(fed.pid(), sig);
    auto r = fed.end();
    EXPECT_EQ(r.status, 128 + sig) << r.err;
    EXPECT_EQ(test::read_file(tool / "out/f"), "old") << sig;
    EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{"f"}) << sig;
  }
}

// Two default extractions into one directory at once each write a file of their own: the name
// holds one whole payload at every moment, in the end the one that finished last.
TEST_F(Extract, ConcurrentDefaultExtractions) {
  std::string a = test::random_bytes(200000, 18), b = test::random_bytes(300000, 19);
  tool.make_archive("a.run", "", "", "", "", test::gzip_member(a, "f"));
  tool.make_archive("b.run", "", "", "", "", test::gzip_member(b, "f"));
  FedArchive fa(tool, "a", test::read_file(tool / "a.run"));
  FedArchive fb(tool, "b", test::read_file(tool / "b.run"));
  ASSERT_TRUE(await_temporaries(tool / "out", 2));
  auto r = fa.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "out/f") == a);
  r = fb.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::read_file(tool / "out/f") == b);
  EXPECT_EQ(entries(tool / "out"), std::vector<std::string>{"f"});
}

// With standard descriptors closed, the archive and the extract command's pipe must not land on
// them: the extracted file holds exactly the payload and nothing of the messages.
TEST_F(Extract, ClosedStandardDescriptors) {
  std::string data = test::text_bytes(50000, 10);
  test::write_file(tool / "src/f", data);
  build({"-C", "a comment", "-r", "echo ran > ran", "src/f"});
  for (const char *closed :
       {"<&-", ">&-", "2>&-", "<&- >&-", "<&- 2>&-", ">&- 2>&-", "<&- >&- 2>&-"}) {
    unlink((tool / "out/f").c_str());
    unlink((tool / "out/ran").c_str());
    auto r = run_archive({"sh", "-c", std::string("../a.run ") + closed + "; echo $? > status"});
    EXPECT_EQ(test::read_file(tool / "out/status"), "0\n") << closed;
    EXPECT_TRUE(test::read_file(tool / "out/f") == data) << closed;
    EXPECT_EQ(test::read_file(tool / "out/ran"), "ran\n") << closed;
  }
  // What goes to standard output goes nowhere when it is closed: a failure, as on /dev/full.
  for (const char *command : {"../a.run -x >&-", "../a.run -l >&-", "../vardo ../src/f >&-"}) {
    auto r = run_archive({"sh", "-c", std::string(command) + "; echo $? > status"});
    EXPECT_EQ(test::read_file(tool / "out/status"), "1\n") << command;
    EXPECT_NE(r.err.find("Bad file descriptor"), std::string::npos) << command << r.err;
  }
}

// -x to a file under a size limit, and -x into the archive it reads.
TEST_F(Extract, ExtractOnlyOutputLimits) {
  test::write_file(tool / "src/f", test::random_bytes(200000, 11));
  build({"src/f"});
  auto r = run_archive({"sh", "-c", "ulimit -f 64; ../a.run -x > f; echo $?"});
  EXPECT_EQ(r.out, "1\n");
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating f...\n\n../a.run: "
                   "f: File too large\n");
  std::string before = test::read_file(tool / "a.run");
  r = run_archive({"sh", "-c", "../vardo -u -x ../a.run >> ../a.run; echo $?"});
  EXPECT_EQ(r.out, "1\n");
  EXPECT_EQ(r.err, "../vardo: ../a.run: input file is output file\n");
  EXPECT_TRUE(test::read_file(tool / "a.run") == before);
}

// With -u the archive operand ends the options: an option written after it is refused, nothing
// is extracted.
TEST_F(Extract, OptionAfterTheArchiveOperand) {
  test::write_file(tool / "src/f", "payload");
  build({"-C", "", "src/f"});
  test::write_file(tool / "out/f", "keep me");
  // (A "--" before the name guards the name alone.)
  for (std::vector<std::string> args :
       {std::vector<std::string>{"../vardo", "-u", "../a.run", "-x"},
        {"../vardo", "-u", "--", "../a.run", "-x"}}) {
    auto r = run_archive(args);
    EXPECT_EQ(r.status, 1) << args[2];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "../vardo: options go before the archive name: -x\n" +
                         test::archive_usage("../vardo", "Self-Extracting archive file"));
    EXPECT_EQ(test::read_file(tool / "out/f"), "keep me");
  }
  test::RunResult r;
  // An archive run itself takes no option after an operand either, nor after a "--" that was an
  // option's argument.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"../a.run", "foo", "-x"}, {"../a.run", "-t", "--", "foo", "-x"}}) {
    r = run_archive(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.err, "../a.run: options go before the operands: -x\n" +
                         test::archive_usage("../a.run", "Self-Extracting archive file"));
    EXPECT_EQ(test::read_file(tool / "out/f"), "keep me");
  }
  // "-" alone and other words stay ignored operands.
  r = run_archive({"../vardo", "-u", "../a.run", "-", "word"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "out/f"), "payload");
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
  // A dialogue that cannot be written is no answer: status 1 with a message.
  r = run_archive({"sh", "-c", "../a.run -v < ../answers > /dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating f...\n../a.run: "
                   "stdout: No space left on device\n");
  EXPECT_FALSE(ran());
}

// What an archive shows on a terminal is what will run: control characters in its comment, run
// command and stored name are shown escaped there, and pass unchanged through a pipe.
TEST_F(Dialogue, ControlCharactersAreShownEscapedOnATerminal) {
  std::string comment = "safe\n    Run: ./install.sh\033[8m";
  std::string run = "touch PWNED #\r\033[2K    ./install.sh";
  build({"-C", comment, "-r", run, "src/f"});
  test::RunOptions o;
  o.cwd = tool / "out";
  o.terminal = true;
  o.input = "n\n";
  auto r = tool.run({"../a.run", "-v"}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\nsafe\\n    Run: ./install.sh\\033[8m\n\nPlease wait...\nDeflating f...\n"
                   "This archive requires more processing using the following command:\n"
                   "    touch PWNED #\\r\\033[2K    ./install.sh\nOK to run the command? ");
  EXPECT_NE(access((tool / "out/PWNED").c_str(), F_OK), 0);
  // Answered at a terminal with standard output through a pipe (tee): the command is still
  // shown escaped, while the comment on standard error, a pipe, keeps its bytes.
  r = answer("n\n");
  EXPECT_EQ(r.err, "\n" + comment + "\n\nPlease wait...\nDeflating f...\n");
  EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                   "    touch PWNED #\\r\\033[2K    ./install.sh\nOK to run the command? ");
  EXPECT_NE(access((tool / "out/PWNED").c_str(), F_OK), 0);
  // No terminal at all: the bytes as stored.
  r = run_archive({"sh", "-c", "../a.run -v < /dev/null"});
  EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n    " +
                       run + "\nbut stdin is not a terminal. So forget it.\n");
}

// A large payload shows a progress line on a terminal, however fast it is unpacked, and the line
// is gone at the end; a small one, or standard error that is no terminal, shows none.
TEST_F(Dialogue, ProgressLineOnATerminal) {
  test::write_file(tool / "src/big", test::random_bytes(6 << 20, 12));
  build({"-C", "big", "-f", "cat > /dev/null", "src/big"});
  test::RunOptions o;
  o.cwd = tool / "out";
  o.terminal = true;
  auto r = tool.run({"../a.run"}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\r  0%  0.0 MiB  0.0 MiB/s\033[K"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" MiB/s\033[K"), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with("\r\033[K")) << r.out;
  EXPECT_EQ(test::screen(r.out), "\nbig\n\nPlease wait...\n");
  auto piped = run_archive({"../a.run"});
  EXPECT_EQ(piped.err, "\nbig\n\nPlease wait...\n");
  test::write_file(tool / "src/small", test::random_bytes(1 << 20, 13));
  build({"-C", "small", "-f", "cat > /dev/null", "src/small"});
  r = tool.run({"../a.run"}, o);
  EXPECT_EQ(r.out, "\nsmall\n\nPlease wait...\n");
}

TEST_F(Dialogue, FailureAfterYesHasNoMessage) {
  build({"-C", "", "-r", "exit 4", "src/f"});
  auto r = answer("y\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating f...\n");
}

} // namespace
} // namespace vardo

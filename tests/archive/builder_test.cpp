#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "archive/header.h"
#include "gzstream/parallel_deflate.h"
#include "gzstream/stream.h"
#include "support/digest.h"
#include "support/fork.h"
#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

const std::string kMagic(make_magic(), kMagicSize);

// Splits a built archive at the magic that follows a preamble of `preamble_size` bytes, and
// takes the trailer off its end: its length stands 18 bytes before the end, before "VDTR".
struct Parsed {
  std::string preamble, features, comment, run, extract, payload, trailer;
};

Parsed parse(const std::string &archive, size_t preamble_size) {
  Parsed p;
  p.preamble = archive.substr(0, preamble_size);
  EXPECT_EQ(archive.substr(preamble_size, kMagicSize), kMagic);
  size_t at = preamble_size + kMagicSize;
  for (std::string *s : {&p.features, &p.comment, &p.run, &p.extract}) {
    size_t nul = archive.find('\0', at);
    *s = archive.substr(at, nul - at);
    at = nul + 1;
  }
  size_t size = archive.size();
  EXPECT_EQ(archive.substr(size - 14, 4), "VDTR");
  uint32_t trailer = 0;
  for (int i = 3; i >= 0; --i)
    trailer = trailer << 8 | static_cast<unsigned char>(archive[size - 18 + i]);
  p.payload = archive.substr(at, size - trailer - at);
  p.trailer = archive.substr(size - trailer);
  return p;
}

class Builder : public ::testing::Test {
protected:
  // Runs the tool, after the words of `prefix` when given, with `args`.
  test::RunResult build(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
    args.insert(args.begin(), "./vardo");
    args.insert(args.begin(), prefix.begin(), prefix.end());
    test::RunOptions o;
    o.stdout_path = tool / "out.run";
    auto r = tool.run(args, o);
    archive = test::read_file(tool / "out.run");
    return r;
  }
  Parsed parsed() { return parse(archive, tool.tool_bytes().size()); }
  test::ToolDir tool;
  std::string archive;
};

TEST_F(Builder, WorkedLayoutOfOneFile) {
  test::write_file(tool / "a.txt", "hello, world\n");
  auto r = build({"a.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  size_t P = tool.tool_bytes().size();
  EXPECT_EQ(archive.substr(0, P), tool.tool_bytes());
  EXPECT_EQ(archive.substr(P, 11), kMagic);
  std::string header("VARDO_TRAILER,VARDO_USIZE=13,NAME=a.txt\0Self-Extracting archive file\0\0\0",
                     71);
  EXPECT_EQ(archive.substr(P + 11, 71), header);
  size_t H = P + 11 + 71;
  auto m = test::zlib_gunzip(archive.substr(H));
  EXPECT_TRUE(m.ok);
  EXPECT_EQ(m.data, "hello, world\n");
  // One member: FEXTRA with the block record, and FNAME.
  EXPECT_EQ(archive.substr(H, 16),
            std::string("\x1f\x8b\x08\x0c\0\0\0\0\x02\x03\x0c\0VB\x08\0", 16));
  EXPECT_EQ(archive.substr(H + 16, 4), test::le32(static_cast<uint32_t>(m.consumed)));
  EXPECT_EQ(archive.substr(H + 20, 10), test::le32(13) + std::string("a.txt\0", 6));
  // The trailer: an empty gzip member (zlib reads it as nothing) whose extra field records the
  // length before it and the SHA-256 of those bytes, as sha256sum computes it.
  size_t L = H + m.consumed;
  std::string trailer = archive.substr(L);
  auto empty = test::zlib_gunzip(trailer);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.data, "");
  EXPECT_EQ(empty.consumed, 78u);
  std::string expected = std::string("\x1f\x8b\x08\x04\0\0\0\0\0\x03" // FEXTRA, OS Unix
                                     "\x38\0VD\x34\0\x01",            // XLEN 56, LEN 52, v1
                                     17) +
                         test::le32(static_cast<uint32_t>(L)) + std::string(4, '\0') +
                         test::sha256_bytes(archive.substr(0, L)) + std::string("\0\0\n", 3) +
                         test::le32(78) + "VDTR" + std::string("\x03\0", 2) + std::string(8, '\0');
  EXPECT_TRUE(trailer == expected);
}

TEST_F(Builder, OptionsFillTheHeaderBlockInOrder) {
  test::write_file(tool / "f", "x");
  auto r = build({"-C", "c", "-r", "sh ./install.sh", "-f", "tar xf -", "-V", "/u", "-S", "inst",
                  "-O", "acme", "-F", "A=1,B", "-c", "-x", "-n", "-v", "f"});
  EXPECT_EQ(r.status, 0);
  Parsed p = parsed();
  EXPECT_EQ(p.features,
            "VFYFS=/u,FSSUB=inst,QK_VENDOR=acme,A=1,B,VARDO_TRAILER,VARDO_USIZE=1,NAME=f");
  EXPECT_EQ(p.comment, "c");
  EXPECT_EQ(p.run, "sh ./install.sh");
  EXPECT_EQ(p.extract, "tar xf -");
}

TEST_F(Builder, NameItemHoldsTheBaseNameOfTheFirstOperand) {
  mkdir((tool / "dir").c_str(), 0755);
  mkdir((tool / "dir/sub").c_str(), 0755);
  test::write_file(tool / "dir/sub/file.tar", "payload");
  auto r = build({"dir/sub/file.tar"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(parsed().features, "VARDO_TRAILER,VARDO_USIZE=7,NAME=file.tar");
  // An operand ending in "/" would give an empty name, but a directory is no input: refused.
  r = build({"dir/"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "dir/: Is a directory\n");
}

// A build on one processor and a build on all give the same archive, whose payload the system's
// gzip reads back.
TEST_F(Builder, GzipVerifiesThePayloadOnOneProcessorOrAll) {
  if (test::run({"sh", "-c", "command -v gzip"}).status != 0)
    GTEST_SKIP() << "gzip is not installed";
  std::string data = test::text_bytes(1 << 20, 21) + test::random_bytes(2 << 20, 22);
  test::write_file(tool / "big.txt", data);
  ASSERT_EQ(build({"big.txt"}).status, 0);
  auto unpacked = test::system_gunzip(parsed().payload);
  EXPECT_TRUE(unpacked.ok);
  EXPECT_TRUE(unpacked.data == data);
  std::string on_all = archive;
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all))
    ++first;
  ASSERT_EQ(build({"big.txt"}, {"taskset", "-c", std::to_string(first)}).status, 0);
  EXPECT_TRUE(archive == on_all);
  // A parent that left SIGCHLD ignored does not make the workers' ends look like losses.
  ASSERT_EQ(build({"big.txt"}, {"bash", "-c", "trap '' CHLD; exec \"$@\"", "bash"}).status, 0);
  EXPECT_TRUE(archive == on_all);
}

TEST_F(Builder, TwoFilesGiveTwoMembers) {
  std::string a = test::random_bytes(100, 1), b = test::random_bytes(50, 2);
  test::write_file(tool / "a", a);
  test::write_file(tool / "b", b);
  ASSERT_EQ(build({"a", "b"}).status, 0);
  Parsed p = parsed();
  EXPECT_EQ(p.features, "VARDO_TRAILER,VARDO_USIZE=150,NAME=a");
  auto first = test::zlib_gunzip(p.payload);
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.data, a);
  std::string rest = p.payload.substr(first.consumed);
  EXPECT_EQ(rest.substr(0, 4), "\x1f\x8b\x08\x0c");
  EXPECT_EQ(rest.substr(24, 2), std::string("b\0", 2));
  auto second = test::zlib_gunzip(rest);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.data, b);
  EXPECT_EQ(second.consumed, rest.size());
  EXPECT_EQ(rest.substr(rest.size() - 4), test::le32(50)); // ISIZE: the member's own length
}

TEST_F(Builder, RawPayloadsWithDashAAndFeatureItem) {
  std::string a = test::random_bytes(1000, 3), b = test::random_bytes(300, 4);
  test::write_file(tool / "a", a);
  test::write_file(tool / "b", b);
  ASSERT_EQ(build({"-a", "a", "b"}).status, 0);
  EXPECT_EQ(parsed().features, "NOCOMPR,VARDO_TRAILER,NAME=a");
  EXPECT_TRUE(parsed().payload == a + b);
  ASSERT_EQ(build({"-F", "NOCOMPR", "a"}).status, 0);
  EXPECT_TRUE(parsed().payload == a);
  // The lookup is a plain substring search: a file whose name holds NOCOMPR is stored raw.
  test::write_file(tool / "myNOCOMPRfile", a);
  ASSERT_EQ(build({"myNOCOMPRfile"}).status, 0);
  EXPECT_EQ(parsed().features, "VARDO_TRAILER,NAME=myNOCOMPRfile");
  EXPECT_TRUE(parsed().payload == a);
}

// Every input is opened before anything is written: one that is missing, a directory or the
// output file itself refuses the build with its message and status 1, and nothing is written,
// compressed or raw. Each bad input is named, not only the first.
TEST_F(Builder, BadInputsRefuseTheBuildBeforeAnythingIsWritten) {
  test::write_file(tool / "a", "AAA");
  test::write_file(tool / "c", "CCC");
  mkdir((tool / "d").c_str(), 0755);
  struct Case {
    std::vector<std::string> operands;
    const char *err;
  };
  const Case cases[] = {
      {{"missing"}, "missing: No such file or directory\n"},
      {{"a", "missing", "c"}, "missing: No such file or directory\n"},
      {{"gone1", "a", "gone2"},
       "gone1: No such file or directory\ngone2: No such file or directory\n"},
      {{"d", "a"}, "d: Is a directory\n"},
      {{"a", "d/"}, "d/: Is a directory\n"},
  };
  for (const Case &c : cases) {
    for (bool raw : {false, true}) {
      std::vector<std::string> args = c.operands;
      if (raw)
        args.insert(args.begin(), "-a");
      auto r = build(args);
      EXPECT_EQ(r.status, 1) << args[raw];
      EXPECT_EQ(r.err, c.err) << args[raw];
      EXPECT_EQ(archive, "") << args[raw];
    }
  }
  // The output file itself: "input file is output file", and the file keeps what it held.
  for (const char *mode : {"-a", "-F x"}) {
    test::write_file(tool / "f", "FFF");
    auto r = tool.run({"sh", "-c", std::string("./vardo ") + mode + " a f >> f; echo $?"});
    EXPECT_EQ(r.out, "1\n") << mode;
    EXPECT_EQ(r.err, "./vardo: f: input file is output file\n") << mode;
    EXPECT_EQ(test::read_file(tool / "f"), "FFF") << mode;
  }
}

TEST_F(Builder, PreambleOption) {
  test::write_file(tool / "f", "x");
  auto r = build({"-p", "./missing", "f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./missing: No such file or directory\n");
  EXPECT_EQ(archive, "");
  r = build({"-p", "missing", "f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: unable to find vardo to build preamble\n");
  EXPECT_EQ(archive, "");
  test::write_file(tool / "other", "#!/bin/sh\necho other\n", 0755);
  r = build({"-p", "./other", "f"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(parse(archive, 21).preamble, "#!/bin/sh\necho other\n");
  // A FIFO is refused at once instead of blocking the build; so is the output file itself.
  ASSERT_EQ(mkfifo((tool / "fifo").c_str(), 0755), 0);
  r = build({"-p", "./fifo", "f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: ./fifo: the preamble is not a regular file\n");
  EXPECT_EQ(archive, "");
  r = tool.run({"sh", "-c", "./vardo -p ./o4 f > o4; echo $?"});
  EXPECT_EQ(r.out, "1\n");
  EXPECT_EQ(r.err, "./vardo: ./o4: the preamble is the output file\n");
  EXPECT_EQ(test::read_file(tool / "o4"), "");
}

// An output that takes nothing (a full disk, a closed descriptor) fails the build, named.
TEST_F(Builder, FullDiskOrClosedOutputIsAnErrorForCompressedAndRawBuilds) {
  test::write_file(tool / "f", test::random_bytes(20000, 5));
  for (const char *mode : {"", "-a"}) {
    // The preamble write fails first.
    auto r = tool.run({"sh", "-c", std::string("./vardo ") + mode + " f > /dev/full; echo $?"});
    EXPECT_EQ(r.out, "1\n") << mode;
    EXPECT_EQ(r.err, "stdout: No space left on device\n") << mode;
    r = tool.run({"sh", "-c", std::string("./vardo ") + mode + " f >&-; echo $?"});
    EXPECT_EQ(r.out, "1\n") << mode;
    EXPECT_EQ(r.err, "stdout: Bad file descriptor\n") << mode;
  }
}

TEST_F(Builder, VanishedReaderIsAWriteError) {
  // A preamble of one byte fits a pipe whose reader goes away: later writes fail, and the build
  // says so instead of dying silently of SIGPIPE.
  test::write_file(tool / "one", "#", 0755);
  test::write_file(tool / "f", test::random_bytes(200000, 6));
  for (const char *mode : {"", "-a"}) {
    std::string cmd = std::string("{ ./vardo -p ./one ") + mode +
                      " f; echo $? > status; } | head -c 5 > /dev/null";
    auto r = tool.run({"sh", "-c", cmd});
    EXPECT_EQ(r.err, "\n./vardo: stdout: Broken pipe\n") << mode;
    EXPECT_EQ(test::read_file(tool / "status"), "1\n") << mode;
  }
}

// Under a file-size limit the write fails with EFBIG and the write-error report, instead of the
// process dying silently of SIGXFSZ.
TEST_F(Builder, FileSizeLimitIsAWriteError) {
  test::write_file(tool / "f", test::random_bytes(300000, 7));
  // The limit (in the shell's 512-byte blocks) lets the preamble through and stops the payload.
  size_t blocks = tool.tool_bytes().size() / 512 + 64;
  for (const char *mode : {"", "-a"}) {
    std::string cmd =
        "ulimit -f " + std::to_string(blocks) + "; ./vardo " + mode + " f > out.run; echo $?";
    auto r = tool.run({"sh", "-c", cmd});
    EXPECT_EQ(r.out, "1\n") << mode;
    EXPECT_EQ(r.err, "\n./vardo: stdout: File too large\n") << mode;
    EXPECT_EQ(test::read_file(tool / "out.run").size(), blocks * 512) << mode;
  }
}

// A value that the split at commas would cut or change cannot be put into an item: the archive
// is not written.
TEST_F(Builder, ItemValuesThatTheSplitWouldChangeAreRefused) {
  auto r = build({"-O", "Acme,LD_PRELOAD=/tmp/evil.so", "f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: the argument of -O holds a comma, a double quote or a backslash, "
                   "which a feature item cannot carry\n");
  EXPECT_EQ(archive, "");
  test::write_file(tool / "notes,PATH=.", "x");
  r = build({"notes,PATH=."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: notes,PATH=.: a file name with a comma, a double quote or a "
                   "backslash cannot be the NAME item\n");
  EXPECT_EQ(archive, "");
  // -F takes its argument as items, commas and quotes meant as they stand...
  test::write_file(tool / "f", "x");
  EXPECT_EQ(build({"-F", "A=\"1,2\",B=3", "f"}).status, 0);
  EXPECT_EQ(parsed().features, "A=\"1,2\",B=3,VARDO_TRAILER,VARDO_USIZE=1,NAME=f");
  EXPECT_EQ(build({"-F", "A=\\\"x\\\\,B=\"\"", "f"}).status, 0);
  // ... but not items that end inside a quote or with a backslash, which would swallow the next
  // item (the NAME item at last), so that the archive never sees it.
  for (const char *items : {"W3=u\"v", "T6=x\\", "A=\"1,2\",B=\"3", "A=\\\"x\\"}) {
    r = build({"-F", items, "f"});
    EXPECT_EQ(r.status, 1) << items;
    EXPECT_EQ(r.err, "./vardo: the argument of -F ends inside a double quote or with a backslash, "
                     "which would join the next item to it\n")
        << items;
    EXPECT_EQ(archive, "") << items;
  }
}

// Space-check values that every extraction would refuse are refused when building: the archive
// could never be unpacked.
TEST_F(Builder, SpaceCheckValuesThatNoExtractionTakesAreRefused) {
  test::write_file(tool / "f", "x");
  std::string v128 = "/" + std::string(127, 'v');
  struct {
    std::vector<std::string> options;
    std::string why, values;
  } cases[] = {
      {{"-V", v128, "-S", "inst"}, "VFYFS value longer than 127 characters", v128 + ",inst"},
      {{"-V", "/opt"},
       "the space check needs VFYFS and FSSUB values of two characters or more",
       "/opt,"},
      {{"-V", "/opt", "-S", "x"},
       "the space check needs VFYFS and FSSUB values of two characters or more",
       "/opt,x"},
      {{"-V", "/opt", "-S", "pkg\033[2K\rOK"},
       "a VFYFS or FSSUB value holds control characters",
       "/opt,pkg\\033[2K\\rOK"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.options;
    args.push_back("f");
    auto r = build(args);
    EXPECT_EQ(r.status, 1) << c.values;
    EXPECT_EQ(r.err, "./vardo: " + c.why + ": " + c.values + "\n");
    EXPECT_EQ(archive, "") << c.values;
  }
  // 127 characters and two are taken; FSSUB alone asks for no space check.
  EXPECT_EQ(build({"-V", v128.substr(1), "-S", "in", "f"}).status, 0);
  EXPECT_EQ(build({"-S", "inst", "f"}).status, 0);
}

// Inputs of 4 GiB and more have their total recorded in the header before they are read; an
// input that then changes size would make the record lie, and fails the build. The tool is held
// on its full output pipe once it has begun to write, so after measuring, while the sparse input
// is cut short.
TEST_F(Builder, InputThatChangesSizeWhenTheSizeIsRecorded) {
  test::write_file(tool / "big.img", "");
  ASSERT_EQ(truncate((tool / "big.img").c_str(), (off_t{4} << 30) + 1), 0);
  auto r = tool.run({"sh", "-c",
                     "mkfifo out && { ./vardo -C '' big.img > out 2>err & } && exec 3<out && "
                     "dd bs=1 count=1 <&3 >/dev/null 2>&1 && truncate -s 1024 big.img && "
                     "cat <&3 >/dev/null; wait; cat err"});
  EXPECT_EQ(r.out, "./vardo: big.img: changed size while the archive was built, which records "
                   "its size\n");
}

// The processes of the build that the test process started itself: the tool, then the workers it
// forked.
std::vector<pid_t> build_workers() {
  std::vector<std::pair<pid_t, pid_t>> parent_of;
  pid_t tool = 0;
  DIR *proc = opendir("/proc");
  while (dirent *e = readdir(proc)) {
    pid_t pid = atoi(e->d_name);
    char stat[512];
    int fd = pid > 0 ? open((std::string("/proc/") + e->d_name + "/stat").c_str(), O_RDONLY) : -1;
    ssize_t n = fd < 0 ? -1 : read(fd, stat, sizeof stat - 1);
    if (fd >= 0)
      close(fd);
    if (n <= 0)
      continue;
    stat[n] = '\0';
    const char *close_paren = strrchr(stat, ')');
    pid_t ppid = close_paren ? atoi(close_paren + 4) : 0; // after ") S "
    if (ppid == getpid() && strstr(stat, "(vardo)"))
      tool = pid;
    parent_of.emplace_back(pid, ppid);
  }
  closedir(proc);
  std::vector<pid_t> workers;
  for (auto [pid, ppid] : parent_of)
    if (tool && ppid == tool)
      workers.push_back(pid);
  return workers;
}

// A worker that is lost fails the build with a message, however far it had gone: it does not hang,
// and it does not end as a success with a piece missing.
TEST_F(Builder, LostWorkerFailsTheBuild) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  if (CPU_COUNT(&all) < 2)
    GTEST_SKIP() << "one processor: the tool compresses without workers";
  signal(SIGPIPE, SIG_IGN); // the tool may stop reading before the input ends
  ASSERT_EQ(mkfifo((tool / "fifo").c_str(), 0644), 0);
  test::RunResult r;
  std::thread builder([&] { r = build({"fifo"}); });
  int fd = open((tool / "fifo").c_str(), O_WRONLY);
  std::string data = test::random_bytes(8 * kDeflateBlockSize, 23);
  // Three blocks: the first two are read, so the workers start.
  EXPECT_EQ(write_fully(fd, data.data(), 3 * kDeflateBlockSize), 0);
  std::vector<pid_t> workers;
  test::await([&] { return !(workers = build_workers()).empty(); }, "the compressing workers");
  if (!workers.empty())
    kill(workers[0], SIGKILL);
  write_fully(fd, data.data() + 3 * kDeflateBlockSize, data.size() - 3 * kDeflateBlockSize);
  close(fd);
  builder.join();
  ASSERT_FALSE(workers.empty());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\n./vardo: fifo: a compressing process was lost\n");
}

// On a terminal a build of 4 MiB or more shows the progress line, however fast it goes: drawn at
// once, erased at the end and before a message. A smaller build, or standard error that is no
// terminal, shows nothing.
TEST_F(Builder, ProgressLineOnATerminal) {
  test::write_file(tool / "a", test::random_bytes(3 << 20, 24));
  test::write_file(tool / "b", test::random_bytes(1 << 20, 25));
  test::RunOptions o;
  o.terminal = true;
  o.stdout_path = tool / "out.run";
  for (bool raw : {false, true}) {
    std::vector<std::string> args = {"./vardo", "a", "b"};
    if (raw)
      args.insert(args.begin() + 1, "-a");
    auto r = tool.run(args, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("\r  0%  0.0 MiB  0.0 MiB/s\033[K")) << raw << r.out;
    EXPECT_TRUE(r.out.ends_with("\r\033[K")) << raw << r.out;
    EXPECT_EQ(test::screen(r.out), "") << raw;
    args.insert(args.end() - 2, "missing");
    r = tool.run(args, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::screen(r.out), "missing: No such file or directory\n") << raw << r.out;
    args.erase(args.begin());
    EXPECT_EQ(build(args).err, "missing: No such file or directory\n") << raw;
  }
  test::write_file(tool / "b", test::random_bytes((1 << 20) - 1, 25));
  EXPECT_EQ(tool.run({"./vardo", "a", "b"}, o).out, "");
}

TEST_F(Builder, OverlongNames) {
  std::string long_base(251, 'n');
  auto r = build({long_base});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: " + long_base + ": file name longer than 250 characters\n");
  EXPECT_EQ(archive, "");
  std::string deep = std::string(1000, '/') + std::string(30, 'x');
  r = build({"f", deep});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: " + deep + ": file name longer than 1023 characters\n");
}

} // namespace
} // namespace vardo

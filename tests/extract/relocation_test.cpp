// Free-space verification against real filesystems: small and large tmpfs mounts in a private
// mount namespace, with a binary mount table bound over /etc inside it.
#include <csignal>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "support/fork.h"
#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

std::string record(const std::string &mount_point, int16_t flag) {
  std::string r(72, '\0');
  r.replace(0, 5, "tmpfs");
  r.replace(32, mount_point.size(), mount_point);
  memcpy(r.data() + 64, &flag, 2);
  return r;
}

// Why mount namespaces cannot be used here, or "" when they can.
std::string namespace_problem() {
  auto r = test::run({"unshare", "-m", "sh", "-c",
                      "d=$(mktemp -d) && mount -t tmpfs -o size=1m tmpfs $d && umount $d && "
                      "rmdir $d"});
  return r.status == 0 ? "" : "unshare -m and mount -t tmpfs are not permitted: " + r.err;
}

class Relocation : public ::testing::Test {
protected:
  void SetUp() override {
    std::string problem = namespace_problem();
    if (!problem.empty())
      GTEST_SKIP() << problem;
    // Mount points must fit the 32-byte field of a table record.
    char tmpl[] = "/tmp/vr-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    d_ = tmpl;
    chmod(tmpl, 0755); // the other user of the attack tests reaches the mounts below
    v_ = d_ + "/u";
    for (const char *sub : {"u", "a", "big", "big2", "ro", "open", "etc", "t", "home", "victim"})
      mkdir((d_ + "/" + sub).c_str(), 0755);
    test::write_file(d_ + "/victim/data", "victim data\n");
    // 3 MiB and one byte: the archive asks for 4 MB.
    test::write_file(tool / "data", std::string((3 << 20) + 1, 'z'));
  }
  void TearDown() override {
    if (!d_.empty())
      test::run({"rm", "-rf", d_});
  }
  void build(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args = {
        "./vardo", "-C", "pkg", "-V", v_, "-S", s_, "-f", "cat > " + v_ + "/" + s_ + "/%o"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("data");
    test::RunOptions o;
    o.stdout_path = tool / "a.run";
    ASSERT_EQ(tool.run(args, o).status, 0);
    chmod((tool / "a.run").c_str(), 0755);
  }
  void table(const std::vector<std::string> &records) {
    std::string t;
    for (const auto &r : records)
      t += r;
    test::write_file(d_ + "/etc/mnttab", t);
  }
  // Mounts u (2 MB), a (1 MB), big and big2 (20 MB), a read-only ro (20 MB) and open (20 MB,
  // mode 0777 where the others have tmpfs's 1777), runs `setup`, the archive with `args`, then
  // `checks`; all inside one mount namespace. Returns what the archive printed on standard
  // error, then a line "status=N", then what the checks printed.
  test::RunResult run(const std::string &args, const std::string &setup = "",
                      const std::string &checks = "", const std::string &input = "") {
    return run_script("./a.run " + args + " 2>" + d_ + "/err; echo status=$?", setup, checks,
                      input);
  }
  // The same with `command` in the place of the archive's run; it sends standard error to err.
  test::RunResult run_script(const std::string &command, const std::string &setup,
                             const std::string &checks, const std::string &input = "") {
    std::string d = d_;
    std::string script = "set -e; for m in u:size=2m a:size=1m big:size=20m big2:size=20m "
                         "ro:size=20m open:size=20m,mode=0777; do "
                         "mount -t tmpfs -o ${m#*:} tmpfs " +
                         d +
                         "/${m%:*}; done; "
                         "mount -o remount,ro " +
                         d + "/ro; mount --bind " + d + "/etc /etc; " +
                         (setup.empty() ? ":" : setup) + "; set +e; cd " + tool.path() + "; " +
                         command + "; " + checks;
    test::RunOptions o;
    o.input = input;
    o.stdin_tty = !input.empty();
    auto r = test::run({"unshare", "-m", "sh", "-c", script}, o);
    if (access((d + "/err").c_str(), F_OK) != 0) {
      ADD_FAILURE() << "the namespace script failed: " << r.err;
      return r;
    }
    r.err = test::read_file(d + "/err");
    return r;
  }
  // Runs the archive with -v -n and answers each link prompt with "y", after running the step
  // for that prompt while the tool waits: the attacker's move lands exactly between what the
  // tool checked before asking and what it does after the answer.
  std::string answering(const std::vector<std::string> &steps) {
    std::string err = d_ + "/err", s = "{ ";
    for (size_t i = 0; i < steps.size(); ++i)
      s += test::shell_await("[ $(cat " + err +
                                 " 2>/dev/null | grep -c 'OK to create temporary link') -gt " +
                                 std::to_string(i) + " ]",
                             "link prompt " + std::to_string(i + 1)) +
           steps[i] + "; echo y; ";
    return s + "} | ./a.run -v -n 2>" + err + "; echo status=$?";
  }
  // Why the unprivileged user cannot be played here, or "" when it can.
  static std::string no_other_user() {
    auto r = test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"});
    return r.status == 0 ? "" : "setpriv cannot run a command as nobody: " + r.err;
  }
  // `command` run by the unprivileged user nobody.
  static std::string as_nobody(const std::string &command) {
    return "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" + command + "'";
  }
  std::string prompt(const char *mount) {
    return "Creating temporary link to " + d_ + "/" + mount + "/" + s_ +
           "\nOK to create temporary link? [y]: ";
  }
  std::string pre = "\npkg\n\nPlease wait...\n";
  std::string looking() {
    return v_ + "/" + s_ + ": not enough space. Looking for space in other filesystems.\n";
  }
  std::string trying(const char *mount) { return "Trying " + d_ + "/" + mount + " ...\n"; }
  // The last line of a run whose payload went onto another filesystem.
  std::string where(const char *mount) {
    return "./a.run: the payload is in " + d_ + "/" + mount + "/" + s_ + "\n";
  }
  std::string refusal(const std::string &t) {
    return t +
           ": not enough space to extract the archive.\nPlease make at least 4Mb available "
           "in " +
           v_ +
           ".\nAlternatively, you can make space available on another "
           "filesystem where a\n\"" +
           s_ + "\" directory can be created. Ensure that the \"" + s_ +
           "\" directory\ndoes not exist before trying again.\n";
  }
  test::ToolDir tool;
  std::string d_, v_, s_ = "inst";
};

TEST_F(Relocation, WorkedExampleMovesToTheLargeFilesystem) {
  build();
  table({record(d_ + "/a", 0), record(d_ + "/u", 0), record(d_ + "/big", 0)});
  auto r = run("", "",
               "test -L " + d_ + "/u/inst && echo link-left; stat -c %s " + d_ +
                   "/big/inst/data; stat -c %a " + d_ + "/big/inst");
  EXPECT_EQ(r.err, looking() + trying("big") + pre + where("big"));
  EXPECT_EQ(r.out, "status=0\n3145729\n755\n");
}

TEST_F(Relocation, NoRoomAnywhere) {
  build();
  table({record(d_ + "/a", 0), record(d_ + "/u", 0)});
  auto r = run("", "", "ls " + d_ + "/u");
  EXPECT_EQ(r.err, looking() + refusal(d_ + "/u/inst"));
  EXPECT_EQ(r.out, "status=1\n");
}

TEST_F(Relocation, RoomInPlace) {
  test::write_file(tool / "data", std::string(100000, 'z'));
  build();
  table({record(d_ + "/big", 0)});
  auto r =
      run("", "mkdir " + d_ + "/u/inst", "ls -A " + d_ + "/big; stat -c %s " + d_ + "/u/inst/data");
  // The existing extraction directory refuses even though there is room.
  EXPECT_EQ(r.err, d_ + "/u/inst: extraction directory exists!\nPlease remove it first then try "
                        "again.\n");
  EXPECT_EQ(r.out, "status=1\n");
  // Without it: no link, no message (the extract command makes the directory itself).
  build({"-f", "mkdir -p " + d_ + "/u/inst && cat > " + d_ + "/u/inst/%o"});
  r = run("", "chmod 0755 " + d_ + "/u", "ls -A " + d_ + "/big; stat -c %s " + d_ + "/u/inst/data");
  EXPECT_EQ(r.err, pre);
  EXPECT_EQ(r.out, "status=0\n100000\n");
  // Where other users may make entries (u is a tmpfs of mode 1777, sticky or not), one of them
  // could put a link at u/inst, or at u/sub on the way to u/sub/inst, before the command makes
  // it: the tool makes them first, each new, and the extraction goes ahead in place...
  for (const std::string sub : {"inst", "sub/inst"}) {
    s_ = sub;
    build({"-f", "mkdir -p " + d_ + "/u/" + sub + " && cat > " + d_ + "/u/" + sub + "/%o"});
    r = run("", "",
            "find " + d_ + "/u " + d_ + "/big -mindepth 1 | sort; stat -c '%a %u' " + d_ + "/u/" +
                sub);
    EXPECT_EQ(r.err, pre) << sub;
    EXPECT_EQ(r.out, "status=0\n" + std::string(sub == "inst" ? "" : d_ + "/u/sub\n") + d_ + "/u/" +
                         sub + "\n" + d_ + "/u/" + sub + "/data\n755 0\n")
        << sub;
  }
  // ... unless another user made one of them first: then the extraction directory exists.
  if (no_other_user().empty()) {
    s_ = "sub/inst";
    build({"-f", "mkdir -p " + d_ + "/u/sub/inst && cat > " + d_ + "/u/sub/inst/%o"});
    r = run("",
            as_nobody("mkdir " + d_ + "/u/sub && ln -s " + d_ + "/victim " + d_ + "/u/sub/inst"),
            "ls -A " + d_ + "/victim");
    EXPECT_EQ(r.err, d_ + "/u/sub/inst: extraction directory exists!\nPlease remove it first then "
                          "try again.\n");
    EXPECT_EQ(r.out, "status=1\ndata\n");
  }
  // A link on the way to V is not followed, as for a relocation.
  s_ = "inst";
  v_ = d_ + "/big/v";
  build({"-f", "mkdir -p " + v_ + "/inst && cat > " + v_ + "/inst/%o"});
  r = run("", "ln -s " + d_ + "/victim " + v_, "ls -A " + d_ + "/victim");
  EXPECT_EQ(r.err, v_ + ": a symbolic link; not followed.\n");
  EXPECT_EQ(r.out, "status=1\ndata\n");
}

TEST_F(Relocation, TemporaryPath) {
  build();
  table({record(d_ + "/big2", 0)});
  // Room below the temporary path: the directory is made there, the table is not read.
  auto r =
      run("-t " + d_ + "/big/tmp/", "",
          "stat -c %s " + d_ + "/big/tmp/inst/data; test -e " + d_ + "/u/inst || echo link-gone");
  EXPECT_EQ(r.err, pre + "./a.run: the payload is in " + d_ + "/big/tmp/inst\n");
  EXPECT_EQ(r.out, "status=0\n3145729\nlink-gone\n");
  // No room below the temporary path nor in place: refused, the table is not read.
  r = run("-t " + d_ + "/a");
  EXPECT_EQ(r.err, refusal(d_ + "/a/inst"));
  EXPECT_EQ(r.out, "status=1\n");
}

TEST_F(Relocation, StaleLinkIsReplacedButARealDirectoryIsLeftAlone) {
  build();
  table({record(d_ + "/big", 0)});
  // An "rm" first in PATH tells whether a shell removes anything: none may.
  std::string fake_rm = "mkdir " + d_ + "/bin; printf \"#!/bin/sh\\ntouch " + d_ +
                        "/rm-ran\\n\" > " + d_ + "/bin/rm; chmod 755 " + d_ +
                        "/bin/rm; PATH=" + d_ + "/bin:$PATH";
  auto r = run("", fake_rm + "; ln -s /nonexistent " + d_ + "/u/inst",
               "stat -c %s " + d_ + "/big/inst/data; test -L " + d_ + "/u/inst || echo gone; " +
                   "test -e " + d_ + "/rm-ran && echo shell-rm");
  EXPECT_EQ(r.out, "status=0\n3145729\ngone\n");
  // With -t the extraction directory T is below the temporary path, so a real directory at L
  // passes the first test; it must never be removed.
  r = run("-t " + d_ + "/big/t", "mkdir " + d_ + "/u/inst; echo keep > " + d_ + "/u/inst/file",
          "cat " + d_ + "/u/inst/file");
  EXPECT_EQ(r.err, d_ + "/u/inst: extraction directory exists!\nPlease remove it first then try "
                        "again.\n");
  EXPECT_EQ(r.out, "status=1\nkeep\n");
}

TEST_F(Relocation, ReadOnlyAndSmallFilesystemsAreSkipped) {
  build();
  table({record(d_ + "/a", 0), record(d_ + "/ro", 65), record("/no/such/mount", 0),
         record(d_ + "/big", 0)});
  auto r = run("", "", "stat -c %s " + d_ + "/big/inst/data");
  EXPECT_EQ(r.err, looking() + trying("big") + pre + where("big"));
  EXPECT_EQ(r.out, "status=0\n3145729\n");
}

TEST_F(Relocation, CandidateThatAlreadyExists) {
  build();
  table({record(d_ + "/big", 0), record(d_ + "/big2", 0)});
  auto r = run("", "mkdir " + d_ + "/big/inst", "stat -c %s " + d_ + "/big2/inst/data");
  EXPECT_EQ(r.err, looking() + trying("big") + d_ + "/big/inst: already exists.\n" +
                       trying("big2") + pre + where("big2"));
  EXPECT_EQ(r.out, "status=0\n3145729\n");
}

TEST_F(Relocation, VerbosePromptOneAnswerPerLine) {
  build();
  table({record(d_ + "/big", 0), record(d_ + "/big2", 0)});
  std::string checks =
      "test -e " + d_ + "/big/inst || echo declined; stat -c %s " + d_ + "/big2/inst/data";
  std::string dialogue =
      looking() + trying("big") + prompt("big") + trying("big2") + prompt("big2");
  for (const char *answers : {"n\ny\n", "nope\ny\n"}) {
    auto r = run("-v -n", "", checks, answers);
    EXPECT_EQ(r.err, dialogue + pre + "Deflating data...\n" + where("big2")) << answers;
    EXPECT_EQ(r.out, "status=0\ndeclined\n3145729\n") << answers;
  }
  // The "e" left of "nope" is not an answer to the second question.
  auto r = run("-v -n", "", "find " + d_ + "/big " + d_ + "/big2 -mindepth 1", "nope\nno\n");
  EXPECT_EQ(r.err, dialogue + refusal(d_ + "/u/inst"));
  EXPECT_EQ(r.out, "status=1\n");
}

TEST_F(Relocation, CandidateMadeByAnotherUserWhileThePromptWaits) {
  if (std::string problem = no_other_user(); !problem.empty())
    GTEST_SKIP() << problem;
  build();
  table({record(d_ + "/big", 0), record(d_ + "/big2", 0)});
  // big is a tmpfs of mode 1777: nobody makes the candidate directory, with a link named after
  // the payload pointing at a victim's file, while the tool waits for its answer.
  std::string plant =
      as_nobody("mkdir " + d_ + "/big/inst && chmod 777 " + d_ + "/big/inst && ln -s " + d_ +
                "/victim/data " + d_ + "/big/inst/data");
  auto r = run_script(answering({plant, ":"}), "",
                      "cat " + d_ + "/victim/data; stat -c '%u %F' " + d_ + "/big/inst " + d_ +
                          "/big/inst/data; stat -c %s " + d_ + "/big2/inst/data");
  EXPECT_EQ(r.err, looking() + trying("big") + prompt("big") + d_ + "/big/inst: already exists.\n" +
                       trying("big2") + prompt("big2") + pre + "Deflating data...\n" +
                       where("big2"));
  EXPECT_EQ(r.out, "status=0\nvictim data\n65534 directory\n65534 symbolic link\n3145729\n");
}

TEST_F(Relocation, DirectoriesOthersMayChangeAreNotUsed) {
  if (std::string problem = no_other_user(); !problem.empty())
    GTEST_SKIP() << problem;
  build();
  // open is a tmpfs of mode 0777: anyone could rename the new directory and put another there.
  table({record(d_ + "/open", 0), record(d_ + "/big", 0)});
  auto r = run("", "", "ls -A " + d_ + "/open; stat -c %s " + d_ + "/big/inst/data");
  EXPECT_EQ(r.err, looking() + trying("open") + d_ +
                       "/open: other users may write into this directory; not used.\n" +
                       trying("big") + pre + where("big"));
  EXPECT_EQ(r.out, "status=0\n3145729\n");
  // A directory of another user on the way, made while the tool waits.
  s_ = "sub/inst";
  build();
  table({record(d_ + "/big", 0)});
  r = run_script(answering({as_nobody("mkdir " + d_ + "/big/sub")}),
                 "mkdir -m 0755 " + d_ + "/u/sub", "ls -A " + d_ + "/big/sub");
  EXPECT_EQ(r.err, looking() + trying("big") + prompt("big") + d_ +
                       "/big/sub: other users may write into this directory; not used.\n" +
                       refusal(d_ + "/u/sub/inst"));
  EXPECT_EQ(r.out, "status=1\n");
}

// V lies in a filesystem that belongs to nobody, who left a link at V/S and could swap V for a
// link to a victim's directory, or replace root's link, at any moment: the directory that would
// hold the link is reached as candidates are, and one that another user may change is refused
// before anything is removed or made there.
TEST_F(Relocation, DirectoryOfTheLinkThatAnotherUserMayChange) {
  if (std::string problem = no_other_user(); !problem.empty())
    GTEST_SKIP() << problem;
  v_ = d_ + "/home/u";
  build();
  table({record(d_ + "/big", 0)});
  std::string setup = "mount -t tmpfs -o size=2m,uid=65534,gid=65534,mode=0755 tmpfs " + d_ +
                      "/home; mkdir " + d_ + "/victim/inst; echo victim data > " + d_ +
                      "/victim/inst/data; " +
                      as_nobody("mkdir " + v_ + " && ln -s " + d_ + "/victim/inst " + v_ +
                                "/inst.lnk && ln -s /nonexistent " + v_ + "/inst");
  auto r = run("-n", setup,
               "cat " + d_ + "/victim/inst/data; find " + d_ + "/victim/inst " + v_ + " " + d_ +
                   "/big -mindepth 1 | sort");
  EXPECT_EQ(r.err, looking() + trying("big") + d_ +
                       "/home: other users may write into this directory; not used.\n");
  // The victim's directory and nobody's links are untouched.
  EXPECT_EQ(r.out, "status=1\nvictim data\n" + v_ + "/inst\n" + v_ + "/inst.lnk\n" + d_ +
                       "/victim/inst/data\n");
}

// A payload of 4 GiB and more asks for its real size, which the header records or, for a stored
// payload, the file's length gives: never the size modulo 4 GiB. The archives are made by hand, a
// stored payload a sparse hole, a compressed one a small member whose recorded size is checked
// only once it is unpacked.
TEST_F(Relocation, PayloadsOverFourGibibytesAskForTheirRealSize) {
  const uint64_t large = (uint64_t{4} << 30) + (2 << 20); // 4099 MB asked for
  table({record(d_ + "/big", 0), record(d_ + "/u", 0)});
  std::string features = "VFYFS=" + v_ + ",FSSUB=" + s_;
  std::string extract = "cat > " + v_ + "/" + s_ + "/%o";
  for (const std::string &item :
       {"NOCOMPR,VARDO_USIZE=" + std::to_string(large) + ",NAME=data",
        std::string("NOCOMPR,NAME=data"), "VARDO_USIZE=" + std::to_string(large) + ",NAME=data"}) {
    bool raw = item.starts_with("NOCOMPR");
    tool.make_archive("a.run", features + "," + item, "pkg", "", extract,
                      raw ? "" : test::gzip_member("data", "data"));
    if (raw) {
      ASSERT_EQ(truncate((tool / "a.run").c_str(),
                         static_cast<off_t>(test::read_file(tool / "a.run").size() + large)),
                0);
    }
    auto r = run("", "", "find " + d_ + "/big " + v_ + " -mindepth 1");
    std::string expected = looking() + refusal(v_ + "/" + s_);
    expected.replace(expected.find(" 4Mb "), 5, " 4099Mb ");
    EXPECT_EQ(r.err, expected) << item;
    EXPECT_EQ(r.out, "status=1\n") << item; // nothing made, nothing unpacked
  }
}

TEST_F(Relocation, LinkIsRemovedOnTheAbortPath) {
  build();
  std::string archive = test::read_file(tool / "a.run");
  archive[archive.size() - 78 - 8] ^= 1; // the CRC of the member, before the trailer
  test::write_file(tool / "a.run", archive, 0755);
  table({record(d_ + "/big", 0)});
  // -i: the digest would find the change before anything is made.
  auto r = run("-i", "",
               "test -L " + v_ + "/inst || echo link-gone; stat -c %s " + d_ + "/big/inst/data");
  EXPECT_EQ(r.err, looking() + trying("big") + pre +
                       "\n./a.run: ./a.run: invalid compressed data--crc error\n" + where("big"));
  // The whole blocks before the damaged one, its last, were unpacked.
  EXPECT_EQ(r.out, "status=1\nlink-gone\n3145728\n");
}

TEST_F(Relocation, SystemMountListOffersOnlyFilesystemsThatKeepFiles) {
  // No binary table: the system's mount list is scanned. Every filesystem of the machine that
  // could hold files is made read-only in the namespace, V is a small tmpfs and big a directory
  // of the disk bound to its own mount point: the scan must pass over /dev, /dev/shm,
  // /sys/fs/cgroup and the other pseudo and memory filesystems, and try big only.
  build();
  struct statfs st;
  ASSERT_EQ(statfs(d_.c_str(), &st), 0);
  if (st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC)
    GTEST_SKIP() << d_ << " lies on a memory filesystem: no disk directory to offer";
  mkdir((d_ + "/disk").c_str(), 0755);
  mkdir((d_ + "/empty").c_str(), 0755);
  std::string d = d_;
  std::string script =
      "set -e; for m in $(awk '{print $2}' /proc/self/mounts); do case $m in "
      "/proc|/proc/*|/sys|/sys/*|/dev|/dev/*|/run|/run/*) ;; *) mount -o remount,bind,ro $m "
      "2>/dev/null || :;; esac; done; mount -t tmpfs -o size=2m tmpfs " +
      d + "/u; mount --bind " + d + "/disk " + d + "/big; mount -o remount,bind,rw " + d +
      "/big; mount --bind " + d + "/empty /etc; set +e; cd " + tool.path() + "; ./a.run 2>" + d +
      "/big/err; echo status=$?; stat -c %s " + d + "/big/inst/data";
  auto r = test::run({"unshare", "-m", "sh", "-c", script});
  EXPECT_EQ(test::read_file(d_ + "/disk/err"), looking() + trying("big") + pre + where("big"))
      << r.err;
  EXPECT_EQ(r.out, "status=0\n3145729\n");
}

// Relocation below the temporary path of -t, which is tried first, so the link is made without a
// full filesystem and these runs need no mount namespace.
class TemporaryLink : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *sub : {"u", "alt", "alt2"})
      mkdir((dir / sub).c_str(), 0755);
    test::write_file(tool / "data", "payload\n");
  }
  // Builds ./a.run unpacking into the link dir/u/inst with `extract` (after the payload is
  // written there) and `run` as its commands.
  void build(const std::string &extract, const std::string &run = "") {
    test::RunOptions o;
    o.stdout_path = tool / "a.run";
    ASSERT_EQ(tool.run({"./vardo", "-C", "pkg", "-V", dir / "u", "-S", "inst", "-f",
                        "cat > " + link() + "/data; " + extract, "-r", run, "data"},
                       o)
                  .status,
              0);
    chmod((tool / "a.run").c_str(), 0755);
  }
  // Runs a shell script in the tool's directory.
  test::RunResult script(const std::string &text, test::RunOptions o = {}) {
    o.cwd = tool.path();
    return test::run({"sh", "-c", "ulimit -c 0; " + text}, o);
  }
  // Shell text that waits until `file` exists.
  static std::string await(const std::string &file) {
    return test::shell_await("[ -e " + file + " ]", file);
  }
  std::string link() { return dir / "u/inst"; }
  // Shell text that says whether the process whose pid is in `file` still runs (a zombie that
  // its new parent has not reaped yet has ended).
  static std::string alive(const std::string &file) {
    return "s=$(cut -d' ' -f3 /proc/$(cat " + file +
           ")/stat 2>/dev/null); [ -n \"$s\" ] && [ \"$s\" != Z ] && echo command-alive; ";
  }
  // The same once the process has acted on a signal sent to it: the tool waits for its own child
  // only, and a grandchild on a loaded machine may not have run since. One that never ends is
  // reported alive after the hang limit.
  static std::string ended(const std::string &file) {
    return test::shell_await("! s=$(cut -d' ' -f3 /proc/$(cat " + file +
                                 ")/stat 2>/dev/null) || [ \"$s\" = Z ]",
                             "the end of the process in " + file) +
           alive(file);
  }
  // What the run has left: the link gone or not, and the payload below the temporary path.
  std::string left() {
    return "test -e " + link() + " || test -L " + link() + " || echo link-gone; cat " +
           dir / "alt/inst/data";
  }
  std::string pre = "\npkg\n\nPlease wait...\n";
  test::ToolDir tool;
  test::TempDir dir;
};

// A signal sent to the tool alone, as kill, a supervisor or a CPU limit sends it, is passed on to
// the command that runs and to what that command started, whose ending is waited for; then the
// link goes and the tool ends by the same signal. Its parent, the script, goes on.
TEST_F(TemporaryLink, SignalEndsTheRunWithItsCommands) {
  std::string pid_file = dir / "command.pid";
  struct Case {
    const char *signal;
    int number;
  };
  const Case cases[] = {{"TERM", SIGTERM}, {"HUP", SIGHUP},   {"INT", SIGINT},
                        {"QUIT", SIGQUIT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
                        {"ALRM", SIGALRM}, {"XCPU", SIGXCPU}, {"VTALRM", SIGVTALRM},
                        {"PROF", SIGPROF}};
  // A background job of a shell starts with SIGINT and SIGQUIT ignored; env gives them back their
  // default.
  bool can_default = test::run({"env", "--default-signal=INT,QUIT", "true"}).status == 0;
  // The command the extract command waits for: a child of its shell, or the shell itself.
  for (const std::string &waits : {"sh -c 'echo $$ > " + pid_file + "; exec sleep 600'",
                                   "echo $$ > " + pid_file + "; exec sleep 600"}) {
    build(waits);
    for (const Case &c : cases) {
      bool ignored = c.number == SIGINT || c.number == SIGQUIT;
      if (ignored && !can_default)
        continue;
      rmdir((dir / "alt/inst").c_str());
      unlink((dir / "alt/inst/data").c_str());
      rmdir((dir / "alt/inst").c_str());
      auto r =
          script("rm -f " + pid_file + "; " + (ignored ? "env --default-signal=INT,QUIT " : "") +
                 "./a.run -t " + dir / "alt" + " 2>err & pid=$!; " + await(pid_file) + "kill -" +
                 c.signal + " $pid; wait $pid; echo status=$?; " + ended(pid_file) + left() +
                 "; echo script-goes-on");
      std::string what = std::string(c.signal) + " with " + waits;
      EXPECT_EQ(r.out, "status=" + std::to_string(128 + c.number) + "\nlink-gone\npayload\n" +
                           "script-goes-on\n")
          << what << "\n"
          << r.err;
      EXPECT_EQ(test::read_file(tool / "err"),
                pre + "./a.run: interrupted by SIG" + c.signal + "\n")
          << what;
    }
  }
  // A signal the tool was started with ignored stays ignored: the run ends as usual. The extract
  // command holds the run until the signal has been sent.
  build(await(dir / "go"));
  unlink((dir / "alt/inst/data").c_str());
  rmdir((dir / "alt/inst").c_str());
  auto r =
      script("(trap '' HUP; exec ./a.run -t " + dir / "alt" + " 2>err) & pid=$!; " + await(link()) +
             "kill -HUP $pid; touch " + dir / "go" + "; wait $pid; echo status=$?; " + left());
  EXPECT_EQ(r.out, "status=0\nlink-gone\npayload\n") << r.err;
  EXPECT_EQ(test::read_file(tool / "err"),
            pre + "./a.run: the payload is in " + dir / "alt/inst\n");
  if (!can_default)
    GTEST_SKIP() << "env has no --default-signal: SIGINT and SIGQUIT were not tried";
}

// The signal goes to the command's own processes only, stopped ones included: not to another
// child the tool was given by the shell that started it.
TEST_F(TemporaryLink, SignalReachesTheCommandsOwnProcessesOnly) {
  std::string pid_file = dir / "command.pid", other = dir / "other.pid";
  build("echo $$ > " + pid_file + "; exec sleep 600");
  auto r = script("sh -c 'sleep 600 & echo $! > " + other + "; exec ./a.run -t " + dir / "alt" +
                  " 2>err' & pid=$!; " + await(pid_file) + "kill -STOP $(cat " + pid_file +
                  "); kill -TERM $pid; wait $pid; echo status=$?; " + ended(pid_file) +
                  alive(other) + left() + "; kill $(cat " + other + ")");
  EXPECT_EQ(r.out, "status=143\ncommand-alive\nlink-gone\npayload\n") << r.err;
}

// A link that is not this user's, dead or not, is never removed or written through: a run that
// relocates refuses it, and so does one that unpacks in place.
TEST_F(TemporaryLink, AnotherUsersLinkIsLeftAlone) {
  if (test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"}).status)
    GTEST_SKIP() << "setpriv cannot run a command as nobody";
  build("");
  chmod((dir / "u").c_str(), 0777 | S_ISVTX);
  chmod(dir.path().c_str(), 0755);
  ASSERT_EQ(test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "ln", "-s",
                       dir / "elsewhere", link()})
                .status,
            0);
  for (std::vector<std::string> args :
       {std::vector<std::string>{"./a.run", "-t", dir / "alt"}, {"./a.run"}}) {
    auto r = tool.run(args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.err, link() + ": extraction directory exists!\nPlease remove it first then try "
                              "again.\n")
        << args.size();
    struct stat st;
    EXPECT_EQ(lstat(link().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
  }
}

// The commands stay in the terminal's foreground: a run command that asks reads its answer, and
// Ctrl-C, which the terminal sends to the whole group, ends the run command and the tool, which
// removes the link first.
TEST_F(TemporaryLink, RunCommandsKeepTheTerminal) {
  build("", "read answer && echo \"got $answer\"");
  test::RunOptions o;
  o.terminal = true;
  o.input = "yes\n";
  o.cwd = tool.path();
  auto r = tool.run({"./a.run", "-t", dir / "alt"}, o);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("got yes"), std::string::npos) << r.out;
  EXPECT_EQ(script(left()).out, "link-gone\npayload\n");
  unlink((dir / "alt/inst/data").c_str());
  rmdir((dir / "alt/inst").c_str());
  // Ctrl-C, also while the run command has stopped itself: the tool continues it, so that it
  // takes the signal the terminal sent and ends.
  for (const char *run : {"exec sleep 600", "kill -STOP $$; sleep 600"}) {
    unlink((dir / "alt/inst/data").c_str());
    rmdir((dir / "alt/inst").c_str());
    unlink((dir / "started").c_str());
    build("", "touch " + dir / "started" + "; " + run);
    o.input = "";
    o.late_input = "\x03";
    o.late_after = dir / "started";
    r = tool.run({"./a.run", "-t", dir / "alt"}, o);
    EXPECT_EQ(r.status, 128 + SIGINT) << run << r.out;
    EXPECT_EQ(script(left()).out, "link-gone\npayload\n") << run;
  }
}

// While a run's link stands, another run of the archive must not take it for one left by a run
// that died: it says so and makes nothing. A link left by a dead run is replaced as before.
TEST_F(TemporaryLink, ConcurrentRunsOfOneArchive) {
  build(await(dir / "go"));
  symlink("/nonexistent", link().c_str()); // left by a run that died
  // The second run waits at its prompt until the first has replaced the dead link with its own,
  // then answers y.
  auto r =
      script("./a.run -n -t " + dir / "alt" + " 2>err1 & first=$!; { " +
             test::shell_await("grep -q 'OK to create' err2 2>/dev/null", "the prompt") +
             test::shell_await("[ \"$(readlink " + link() + ")\" = " + dir / "alt/inst" + " ]",
                               "the first run's link") +
             "echo y; } | ./a.run -v -n -t " + dir / "alt2" + " 2>err2; echo second=$?; test -L " +
             link() + " && echo link-stands; touch " + dir / "go" +
             "; wait $first; echo first=$?; " + left() + "; ls -A " + dir / "alt2");
  EXPECT_EQ(r.out, "second=1\nlink-stands\nfirst=0\nlink-gone\npayload\n") << r.err;
  EXPECT_EQ(test::read_file(tool / "err2"),
            "Creating temporary link to " + dir / "alt2/inst" +
                "\nOK to create temporary link? [y]: " + link() +
                ": another extraction is using this link; try again when it has finished.\n");
  EXPECT_EQ(test::read_file(tool / "err1"),
            pre + "./a.run: the payload is in " + dir / "alt/inst" + "\n");
  // A run that unpacks in place shares the lock, so a run that would make the link meanwhile is
  // refused: the first run's files must land where it put them.
  unlink((dir / "go").c_str());
  test::RunOptions o;
  o.stdout_path = tool / "b.run";
  ASSERT_EQ(
      tool.run({"./vardo", "-C", "", "-V", dir / "u", "-S", "inst", "-f",
                "mkdir " + link() + " && cat > " + link() + "/%o && " + await(dir / "go"), "data"},
               o)
          .status,
      0);
  chmod((tool / "b.run").c_str(), 0755);
  r = script("./b.run -n 2>err1 & first=$!; " + await(link() + "/data") + "./b.run -n -t " +
             dir / "alt2" + " 2>err2; echo second=$?; touch " + dir / "go" +
             "; wait $first; echo first=$?; cat " + link() + "/data; ls -A " + dir / "alt2");
  EXPECT_EQ(r.out, "second=1\nfirst=0\npayload\n") << r.err;
  EXPECT_EQ(test::read_file(tool / "err2"),
            link() + ": another extraction is using this link; try again when it has finished.\n");
}

} // namespace
} // namespace vardo

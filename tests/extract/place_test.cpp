// The installer's job, end to end: arguments for the run command, a target or a private
// temporary directory to unpack into, the space check every unpacking makes, nothing left behind
// when a run fails or is interrupted, and the last line naming where the payload went.
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/tool.h"

namespace vardo {
namespace {

class Installer : public ::testing::Test {
protected:
  void SetUp() override {
    mkdir((tool / "out").c_str(), 0755);
    // A tar of a small package: install.sh copies it below the prefix given as $1.
    mkdir((tool / "pkg").c_str(), 0755);
    test::write_file(tool / "pkg/install.sh",
                     "mkdir -p \"$1\" && cp data.txt \"$1\"/ && pwd > \"$1/from\"\n");
    test::write_file(tool / "pkg/data.txt", std::string(10000, 'd'));
    ASSERT_EQ(tool.run({"tar", "cf", "pkg.tar", "-C", "pkg", "install.sh", "data.txt"}).status, 0);
  }
  // Builds ./a.run of pkg.tar, unpacked by tar and installed by `run`, with `extra` options.
  void build(const std::string &run, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"./vardo", "-C", "pkg", "-f", "tar xf -", "-r", run};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("pkg.tar");
    test::RunOptions o;
    o.stdout_path = tool / "a.run";
    auto r = tool.run(args, o);
    ASSERT_EQ(r.status, 0) << r.err;
    chmod((tool / "a.run").c_str(), 0755);
  }
  // Runs the archive in `cwd` (the directory "out" by default).
  test::RunResult run(std::vector<std::string> args, test::RunOptions o = {}) {
    if (o.cwd.empty())
      o.cwd = tool / "out";
    args.insert(args.begin(), tool / "a.run");
    return test::run(args, o);
  }
  // What a directory holds, names sorted, "." and ".." left out ("(none)" when it is missing).
  std::string ls(const std::string &dir) {
    auto r = test::run({"sh", "-c", "cd \"$0\" 2>/dev/null && ls -A || echo '(none)'", dir});
    return r.out;
  }
  // The temporary directories the runs left below `dir`.
  std::string temporaries(const std::string &dir) {
    return test::run({"sh", "-c", "ls -d \"$0\"/vardo.* 2>/dev/null", dir}).out;
  }
  std::string pre = "\npkg\n\nPlease wait...\n";
  test::ToolDir tool;
};

// Operands after the options (after the archive's name with -u), and everything after "--",
// reach the run command as its arguments, exactly; the extract command gets none, and -l and -x
// take no notice of them. Without "--", one that looks like an option is still refused.
TEST_F(Installer, ArgumentsReachTheRunCommandExactly) {
  build("printf '[%s]' \"$@\" > ../args; printf '%s' \"$0\" > ../name");
  const std::vector<std::string> args = {
      "a b", "it's", "say \"hi\"", "$(touch PWNED)", "`id`", "line\nbreak", "", "-x", "--", "*"};
  std::string expected;
  for (const auto &a : args)
    expected += "[" + a + "]";
  std::vector<std::string> with_dashes = {"--"};
  with_dashes.insert(with_dashes.end(), args.begin(), args.end());
  auto r = run(with_dashes);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "args"), expected);
  EXPECT_EQ(test::read_file(tool / "name"), tool / "a.run");
  EXPECT_EQ(ls(tool / "out"), "data.txt\ninstall.sh\n");
  // With -u, after the archive's name; without "--" as long as none looks like an option.
  r = test::run({tool / "vardo", "-u", tool / "a.run", "/opt/x", "a b", ""}, [&] {
    test::RunOptions o;
    o.cwd = tool / "out";
    return o;
  }());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "args"), "[/opt/x][a b][]");
  r = test::run({tool / "vardo", "-u", tool / "a.run", "--", "-v"}, [&] {
    test::RunOptions o;
    o.cwd = tool / "out";
    return o;
  }());
  EXPECT_EQ(test::read_file(tool / "args"), "[-v]");
  r = run({"--", "--", "-x"}); // a second "--" is the installer's
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "args"), "[--][-x]");
  r = run({"/opt/x", "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(tool / "a.run: options go before the operands: -x\n"), std::string::npos)
      << r.err;
  // The extract command gets no arguments.
  build("true");
  test::RunOptions o;
  o.stdout_path = tool / "a.run";
  ASSERT_EQ(tool.run({"./vardo", "-C", "pkg", "-f",
                      "printf '[%s]' \"$@\" > ../extracted; cat "
                      ">/dev/null",
                      "pkg.tar"},
                     o)
                .status,
            0);
  r = run({"--", "arg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(tool / "extracted"), "[]");
  // -x and -l take no notice of them.
  r = test::run({tool / "vardo", "-u", "-x", tool / "a.run", "--", "arg"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = test::run({tool / "vardo", "-l", tool / "a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(access((tool / "out/PWNED").c_str(), F_OK), 0);
}

// -d unpacks into the directory named, made with its parents when it is missing, and runs the
// installer there (%p is it); the run ends naming it. One that exists must be an empty directory
// of this user's, or nothing is written.
TEST_F(Installer, TargetDirectory) {
  build("sh ./install.sh ../prefix; echo %p > ../where");
  auto r = run({"-d", "new/target", "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, tool.path() + "/a.run: the payload is in " + tool / "out/new/target\n");
  EXPECT_EQ(ls(tool / "out/new/target"), "data.txt\ninstall.sh\n");
  EXPECT_EQ(test::read_file(tool / "out/new/where"), tool / "out/new/target\n");
  EXPECT_EQ(test::read_file(tool / "out/new/prefix/from"), tool / "out/new/target\n");
  // An empty directory of this user's is taken; one that holds anything is not, before anything
  // is written; nor is a file.
  mkdir((tool / "out/empty").c_str(), 0755);
  EXPECT_EQ(run({"-d", tool / "out/empty"}).status, 0);
  EXPECT_EQ(ls(tool / "out/empty"), "data.txt\ninstall.sh\n");
  test::write_file(tool / "out/file", "x");
  for (const std::string &dir : {tool / "out/empty", tool / "out/file"}) {
    r = run({"-d", dir});
    EXPECT_EQ(r.status, 1) << dir;
    EXPECT_NE(r.err.find(dir + ": "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Please wait"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ls(tool / "out/empty"), "data.txt\ninstall.sh\n");
  // A failed run leaves no target it made; one it was given stays, named.
  build("false");
  r = run({"-d", "made/here"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ls(tool / "out/made"), "(none)\n");
  mkdir((tool / "out/given").c_str(), 0755);
  r = run({"-d", "given"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the payload is in " + tool / "out/given\n"), std::string::npos) << r.err;
}

// Another user's directory, or a link another user planted in a shared directory, is never
// taken for a target; a link of this user's is followed.
TEST_F(Installer, TargetThatAnotherUserPlanted) {
  if (test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"}).status)
    GTEST_SKIP() << "setpriv cannot run a command as nobody";
  build("true");
  test::TempDir shared;
  chmod(shared.path().c_str(), 01777);
  mkdir((tool / "victim").c_str(), 0755);
  auto as_nobody = [](const std::string &command) {
    return test::run(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
  };
  ASSERT_EQ(
      as_nobody("ln -s " + tool / "victim " + shared / "link; mkdir -m 777 " + shared / "theirs")
          .status,
      0);
  for (const std::string &dir : {shared / "link", shared / "link/sub", shared / "theirs"}) {
    auto r = run({"-d", dir});
    EXPECT_EQ(r.status, 1) << dir;
    EXPECT_NE(r.err, "") << dir;
  }
  EXPECT_EQ(ls(tool / "victim"), "");
  EXPECT_EQ(ls(shared / "theirs"), "");
  symlink((tool / "victim").c_str(), (tool / "mine").c_str());
  EXPECT_EQ(run({"-d", tool / "mine"}).status, 0);
  EXPECT_EQ(ls(tool / "victim"), "data.txt\ninstall.sh\n");
}

// -T (or the archive's own -T) unpacks into a new private directory below $TMPDIR, or below the
// target, runs the installer there and removes it when the run ends, whatever the end; -k keeps
// it and names it.
TEST_F(Installer, PrivateTemporaryDirectory) {
  test::TempDir tmp;
  build("sh ./install.sh " + tool / "prefix" + " && stat -c %a . > " + tool / "mode");
  test::RunOptions o;
  o.env = {"TMPDIR=" + tmp.path()};
  auto r = run({"-T"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, pre);
  std::string from = test::read_file(tool / "prefix/from");
  EXPECT_EQ(from.rfind(tmp.path() + "/vardo.", 0), 0u) << from;
  EXPECT_EQ(test::read_file(tool / "mode"), "700\n");
  EXPECT_EQ(temporaries(tmp.path()), "");
  EXPECT_EQ(ls(tool / "out"), "");
  // Kept and named.
  r = run({"-T", "-k", "-q"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string kept = temporaries(tmp.path());
  ASSERT_NE(kept, "");
  kept.pop_back();
  EXPECT_EQ(r.err, tool / "a.run: the payload is in " + kept + "/payload (kept)\n");
  EXPECT_EQ(ls(kept), "payload\n");
  EXPECT_EQ(ls(kept + "/payload"), "data.txt\ninstall.sh\n");
  // The archive's default, and below a target.
  build("sh ./install.sh " + tool / "prefix", {"-T"});
  std::string size = std::to_string(test::read_file(tool / "pkg.tar").size());
  EXPECT_EQ(
      tool.run({"./vardo", "-l", "./a.run"})
          .out.find("Feature: VARDO_TEMP,VARDO_TRAILER,VARDO_USIZE=" + size + ",NAME=pkg.tar\n"),
      0u);
  r = run({"-d", "target"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  from = test::read_file(tool / "prefix/from");
  EXPECT_EQ(from.rfind(tool / "out/target/vardo.", 0), 0u) << from;
  EXPECT_EQ(ls(tool / "out"), ""); // the target made to hold it goes with it
  // One that was there stays, empty.
  mkdir((tool / "out/target").c_str(), 0755);
  r = run({"-d", "target"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ls(tool / "out/target"), "");
  // A failed installer leaves nothing behind either.
  build("exit 3", {"-T"});
  r = run({}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(temporaries(tmp.path()), kept + "\n");
}

// Nothing the removal walks through is followed: a link the installer left (to a victim's file
// or directory) goes as a link, a FIFO as a name. In the private temporary directory, where no
// one else can reach, what the commands gave another user goes too, as does the directory tar
// gives the owner and mode the archive recorded; the directory the commands work in is one
// level down, so that the private one stays private. In a target the run made, a directory of
// another user stays, with a message, and so does another filesystem mounted in either; a run
// that leaves something behind fails.
TEST_F(Installer, RemovalFollowsNothing) {
  test::TempDir tmp;
  mkdir((tool / "victim").c_str(), 0755);
  test::write_file(tool / "victim/file", "keep");
  if (geteuid() != 0)
    GTEST_SKIP() << "the installer gives a directory to another user: that takes root";
  build("ln -s " + tool / "victim" + " dirlink && ln -s " + tool / "victim/file" +
        " filelink && mkfifo fifo && mkdir -p sub/deeper && ln -s / sub/deeper/root && "
        "mkdir theirs && touch theirs/x && chown -R 65534 theirs && chown 65534 . && "
        "chmod 0777 . && stat -c %U:%a .. > " +
        tool / "above");
  test::RunOptions o;
  o.env = {"TMPDIR=" + tmp.path()};
  auto r = run({"-T"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, pre);
  EXPECT_EQ(test::read_file(tool / "above"), "root:700\n");
  EXPECT_EQ(ls(tool / "victim"), "file\n");
  EXPECT_EQ(test::read_file(tool / "victim/file"), "keep");
  EXPECT_EQ(temporaries(tmp.path()), "");
  // A user's payload that made its directories read-only or unreadable goes too.
  build("mkdir -p ro/in none && touch ro/in/f && chmod 0555 ro/in ro && chmod 0 none && "
        "chmod 0500 .");
  test::TempDir shared;
  chmod(shared.path().c_str(), 01777);
  ASSERT_EQ(test::run({"cp", tool / "a.run", shared / "a.run"}).status, 0);
  test::RunOptions as_user;
  as_user.env = {"TMPDIR=" + shared.path()};
  as_user.cwd = shared.path();
  r = test::run(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "./a.run", "-T", "-q"},
      as_user);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(temporaries(shared.path()), "");
  build("mkdir theirs && touch theirs/x && chown -R 65534 theirs && exit 3");
  r = run({"-d", "made"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(tool / "out/made/theirs: a directory of another user; not removed\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ls(tool / "out/made"), "theirs\n");
  if (test::run({"unshare", "-m", "true"}).status != 0)
    GTEST_SKIP() << "unshare -m is not permitted here";
  // Another filesystem, or a bind mount of the same one, mounted in the tree stays; so does one
  // mounted over the temporary directory itself, whose name no longer leads to it.
  mkdir((tool / "outside").c_str(), 0755);
  mkdir((tool / "outside/sub").c_str(), 0755);
  test::write_file(tool / "outside/sub/file", "precious");
  const std::string mounted = "/payload/m: another filesystem is mounted here; not removed\n";
  const std::pair<std::string, std::string> mounts[] = {
      {"mkdir m && mount -t tmpfs none m && touch m/x", mounted},
      {"mkdir m && mount --bind " + tool / "outside" + " m && exit 1", mounted},
      {"mount --bind " + tool / "outside" + " ..",
       ": not the directory that was made; not removed\n"},
  };
  for (const auto &[mount, message] : mounts) {
    build(mount);
    r = test::run({"unshare", "-m", "sh", "-c", "cd \"$0\" && exec ../a.run -T", tool / "out"}, o);
    EXPECT_EQ(r.status, 1) << mount;
    std::string left = temporaries(tmp.path());
    ASSERT_NE(left, "");
    left.pop_back();
    EXPECT_NE(r.err.find(left + message), std::string::npos) << r.err;
    test::run({"rm", "-rf", left});
  }
  EXPECT_EQ(test::read_file(tool / "outside/sub/file"), "precious");
}

// The space check every unpacking makes: too little room where the payload would go refuses the
// run before anything is written, in place, in a target and in a temporary directory; -s unpacks
// all the same. An archive with its own VFYFS check keeps that one alone. An archive built from a
// pipe records no size: its block members' records give it.
TEST_F(Installer, NoRoomRefusesBeforeAnythingIsWritten) {
  if (test::run({"unshare", "-m", "true"}).status != 0)
    GTEST_SKIP() << "unshare -m is not permitted here: no small filesystem can be mounted";
  test::write_file(tool / "pkg/big", test::random_bytes(3 << 20, 5));
  ASSERT_EQ(tool.run({"tar", "cf", "pkg.tar", "-C", "pkg", "install.sh", "big"}).status, 0);
  build("true");
  ASSERT_EQ(tool.run({"sh", "-c",
                      "cat pkg.tar | ./vardo -f 'tar xf -' -r true /dev/stdin > piped.run && "
                      "chmod +x piped.run"})
                .status,
            0);
  std::string small = tool / "small";
  mkdir(small.c_str(), 0755);
  struct Case {
    std::string options, cwd, needs_dir, archive = "a.run";
  } cases[] = {
      {"", small, small},
      {"-d " + small + "/t", tool / "out", small + "/t"},
      {"-T", tool / "out", ""},
      {"", small, small, "piped.run"},
  };
  for (const Case &c : cases) {
    std::string script = "mount -t tmpfs -o size=1m,mode=755 tmpfs " + small + " && cd " + c.cwd +
                         " && TMPDIR=" + small + " " + tool / c.archive + " " + c.options + " 2>" +
                         tool / "err; echo status=$?; ls -A " + small;
    auto r = test::run({"unshare", "-m", "sh", "-c", script});
    EXPECT_EQ(r.out, "status=1\n") << c.options << r.err;
    std::string err = test::read_file(tool / "err");
    EXPECT_NE(err.find(": not enough room: unpacking needs 4 MiB, and its filesystem has 1 MiB "
                       "free (-s unpacks all the same)\n"),
              std::string::npos)
        << c.options << err;
    EXPECT_EQ(err.find("Please wait"), std::string::npos) << err;
    if (!c.needs_dir.empty()) {
      EXPECT_NE(err.find(c.needs_dir + ": not enough room"), std::string::npos) << err;
    }
  }
  // -s: unpacked all the same (and tar fails on the full filesystem).
  auto r = test::run({"unshare", "-m", "sh", "-c",
                      "mount -t tmpfs -o size=1m tmpfs " + small + " && cd " + small + " && " +
                          tool / "a.run -s 2>" + tool / "err; echo status=$?"});
  EXPECT_EQ(r.out, "status=1\n");
  EXPECT_NE(test::read_file(tool / "err").find("the extract command failed"), std::string::npos);
}

// Ctrl-C at the terminal ends the run by the signal in every mode, saying so in one line, and
// leaves nothing of the tool's: no temporary directory, no target it made.
TEST_F(Installer, InterruptLeavesNothingOfTheTools) {
  test::TempDir tmp;
  std::string started = tool / "started";
  build("touch " + started + "; exec sleep 600");
  for (const std::string &mode : {std::string("-T"), std::string("-d new/t"), std::string()}) {
    unlink(started.c_str());
    test::RunOptions o;
    o.terminal = true;
    o.late_input = "\x03";
    o.late_after = started;
    o.env = {"TMPDIR=" + tmp.path()};
    o.cwd = tool / "out";
    auto r = test::run({"sh", "-c", tool / "a.run " + mode}, o);
    EXPECT_EQ(r.status, 128 + SIGINT) << mode << r.out;
    EXPECT_NE(r.out.find(tool / "a.run: interrupted by SIGINT\n"), std::string::npos)
        << mode << r.out;
    EXPECT_EQ(temporaries(tmp.path()), "") << mode;
    EXPECT_EQ(ls(tool / "out/new"), "(none)\n") << mode;
  }
  // In place the files the extract command made stay, as the manual says.
  EXPECT_EQ(ls(tool / "out"), "data.txt\ninstall.sh\n");
}

} // namespace
} // namespace vardo

// Free-space verification against real filesystems: small and large tmpfs mounts in a private
// mount namespace, with a binary mount table bound over /etc inside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/fork.h"
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
    for (const char *sub : {"u", "a", "big", "big2", "ro", "etc", "t"})
      mkdir((d_ + "/" + sub).c_str(), 0755);
    // 3 MiB and one byte: the archive asks for 4 MB.
    test::write_file(tool / "data", std::string((3 << 20) + 1, 'z'));
  }
  void TearDown() override {
    if (!d_.empty())
      test::run({"rm", "-rf", d_});
  }
  void build(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args = {
        "./vardo", "-C", "pkg", "-V", d_ + "/u", "-S", "inst", "-f", "cat > " + d_ + "/u/inst/%o"};
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
  // Mounts u (2 MB), a (1 MB), big and big2 (20 MB) and a read-only ro (20 MB), runs `setup`,
  // the archive with `args`, then `checks`; all inside one mount namespace. Returns what the
  // archive printed on standard error, then a line "status=N", then what the checks printed.
  test::RunResult run(const std::string &args, const std::string &setup = "",
                      const std::string &checks = "", const std::string &input = "") {
    std::string d = d_;
    std::string script = "set -e; for m in u:2m a:1m big:20m big2:20m ro:20m; do "
                         "mount -t tmpfs -o size=${m#*:} tmpfs " +
                         d +
                         "/${m%:*}; done; "
                         "mount -o remount,ro " +
                         d + "/ro; mount --bind " + d + "/etc /etc; " +
                         (setup.empty() ? ":" : setup) + "; set +e; cd " + tool.path() +
                         "; ./a.run " + args + " 2>" + d + "/err; echo status=$?; " + checks;
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
  std::string pre = "\npkg\n\nPlease wait...\n";
  std::string looking() {
    return d_ + "/u/inst: not enough space. Looking for space in other filesystems.\n";
  }
  std::string trying(const char *mount) { return "Trying " + d_ + "/" + mount + " ...\n"; }
  std::string refusal(const std::string &t) {
    return t +
           ": not enough space to extract the archive.\nPlease make at least 4Mb available "
           "in " +
           d_ +
           "/u.\nAlternatively, you can make space available on another "
           "filesystem where a\n\"inst\" directory can be created. Ensure that the \"inst\" "
           "directory\ndoes not exist before trying again.\n";
  }
  test::ToolDir tool;
  std::string d_;
};

TEST_F(Relocation, WorkedExampleMovesToTheLargeFilesystem) {
  build();
  table({record(d_ + "/a", 0), record(d_ + "/u", 0), record(d_ + "/big", 0)});
  auto r = run("", "",
               "test -L " + d_ + "/u/inst && echo link-left; stat -c %s " + d_ +
                   "/big/inst/data; stat -c %a " + d_ + "/big/inst");
  EXPECT_EQ(r.err, looking() + trying("big") + pre);
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
  r = run("", "", "ls -A " + d_ + "/big; stat -c %s " + d_ + "/u/inst/data");
  EXPECT_EQ(r.err, pre);
  EXPECT_EQ(r.out, "status=0\n100000\n");
}

TEST_F(Relocation, TemporaryPath) {
  build();
  table({record(d_ + "/big2", 0)});
  // Room below the temporary path: the directory is made there, the table is not read.
  auto r =
      run("-t " + d_ + "/big/tmp/", "",
          "stat -c %s " + d_ + "/big/tmp/inst/data; test -e " + d_ + "/u/inst || echo link-gone");
  EXPECT_EQ(r.err, pre);
  EXPECT_EQ(r.out, "status=0\n3145729\nlink-gone\n");
  // No room below the temporary path nor in place: refused, the table is not read.
  r = run("-t " + d_ + "/a");
  EXPECT_EQ(r.err, refusal(d_ + "/a/inst"));
  EXPECT_EQ(r.out, "status=1\n");
}

TEST_F(Relocation, StaleLinkIsReplacedButARealDirectoryIsLeftAlone) {
  build();
  table({record(d_ + "/big", 0)});
  auto r = run("", "ln -s /nonexistent " + d_ + "/u/inst",
               "stat -c %s " + d_ + "/big/inst/data; test -L " + d_ + "/u/inst || echo gone");
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
  EXPECT_EQ(r.err, looking() + trying("big") + pre);
  EXPECT_EQ(r.out, "status=0\n3145729\n");
}

TEST_F(Relocation, CandidateThatAlreadyExists) {
  build();
  table({record(d_ + "/big", 0), record(d_ + "/big2", 0)});
  auto r = run("", "mkdir " + d_ + "/big/inst", "stat -c %s " + d_ + "/big2/inst/data");
  EXPECT_EQ(r.err,
            looking() + trying("big") + d_ + "/big/inst: already exists.\n" + trying("big2") + pre);
  EXPECT_EQ(r.out, "status=0\n3145729\n");
}

TEST_F(Relocation, VerbosePromptNoThenYes) {
  build();
  table({record(d_ + "/big", 0), record(d_ + "/big2", 0)});
  auto r = run("-v -n", "",
               "test -e " + d_ + "/big/inst || echo declined; stat -c %s " + d_ + "/big2/inst/data",
               "n\ny\n");
  EXPECT_EQ(r.err, looking() + trying("big") + "Creating temporary link to " + d_ +
                       "/big/inst\nOK to create temporary link? [y]: " + trying("big2") +
                       "Creating temporary link to " + d_ +
                       "/big2/inst\nOK to create temporary link? [y]: " + pre +
                       "Deflating data...\n");
  EXPECT_EQ(r.out, "status=0\ndeclined\n3145729\n");
}

} // namespace
} // namespace vardo

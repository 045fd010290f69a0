#include "lib/dirpath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/fork.h"

namespace vardo {
namespace {

// make_dir_path in a child: standard output gets "ok" or "failed", standard error its message.
test::RunResult make_dirs(const std::string &path) {
  return test::run_forked([&] {
    int fd = make_dir_path(path.c_str(), 0755);
    printf(fd >= 0 ? "ok" : "failed");
  });
}

TEST(MakeDirPath, CreatesEveryLevelWithTheExactMode) {
  test::TempDir dir;
  std::string path = dir / "a/b/c";
  mode_t old = umask(077);
  int fd = make_dir_path(path.c_str(), 0755);
  umask(old);
  ASSERT_GE(fd, 0);
  struct stat by_fd, by_path;
  ASSERT_EQ(fstat(fd, &by_fd), 0);
  ASSERT_EQ(stat(path.c_str(), &by_path), 0);
  EXPECT_EQ(by_fd.st_ino, by_path.st_ino); // the descriptor is the directory itself
  close(fd);
  for (const char *sub : {"a", "a/b", "a/b/c"}) {
    struct stat st;
    ASSERT_EQ(stat((dir / sub).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << sub;
  }
  EXPECT_EQ(make_dirs(path).out, "ok"); // already there
  EXPECT_EQ(make_dirs(path + "//d/").out, "ok");
  auto r = make_dirs("relative/dir");
  EXPECT_EQ(r.out, "failed");
  EXPECT_EQ(r.err, "relative/dir: not an absolute path\n");
  std::string deep = dir / std::string(300, 'd');
  r = make_dirs(deep);
  EXPECT_EQ(r.out, "failed");
  EXPECT_EQ(r.err, deep + ": File name too long\n");
  test::write_file(dir / "file", "x");
  r = make_dirs(dir / "file/sub");
  EXPECT_EQ(r.err, dir / "file: Not a directory\n");
}

TEST(MakeDirPath, NoLinkIsFollowedAndNoDirectoryOthersMayChangeIsUsed) {
  test::TempDir dir;
  mkdir((dir / "real").c_str(), 0755);
  symlink((dir / "real").c_str(), (dir / "link").c_str());
  auto r = make_dirs(dir / "link/sub");
  EXPECT_EQ(r.out, "failed");
  EXPECT_EQ(r.err, dir / "link: a symbolic link; not followed.\n");
  EXPECT_NE(access((dir / "real/sub").c_str(), F_OK), 0);
  // Writable by others: refused, unless the sticky bit keeps each entry its owner's. The group
  // is nogroup, which is nobody's primary group, where root may give it.
  for (mode_t mode : {0777, 0775, 0757}) {
    mkdir((dir / "open").c_str(), 0755);
    if (geteuid() == 0) {
      ASSERT_EQ(chown((dir / "open").c_str(), 0, 65534), 0);
    }
    chmod((dir / "open").c_str(), mode);
    r = make_dirs(dir / "open/sub");
    EXPECT_EQ(r.err, dir / "open: other users may write into this directory; not used.\n") << mode;
    EXPECT_NE(access((dir / "open/sub").c_str(), F_OK), 0) << mode;
    chmod((dir / "open").c_str(), mode | S_ISVTX);
    EXPECT_EQ(make_dirs(dir / "open/sub").out, "ok") << mode;
    rmdir((dir / "open/sub").c_str());
    rmdir((dir / "open").c_str());
  }
  // Owned by another user, even when only its owner may write.
  if (geteuid() != 0)
    GTEST_SKIP() << "a directory of another user needs root to make";
  mkdir((dir / "theirs").c_str(), 0755);
  ASSERT_EQ(chown((dir / "theirs").c_str(), 65534, 65534), 0);
  r = make_dirs(dir / "theirs/sub");
  EXPECT_EQ(r.err, dir / "theirs: other users may write into this directory; not used.\n");
}

} // namespace
} // namespace vardo

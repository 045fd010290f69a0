#include "lib/fsinfo.h"

#include <cstring>
#include <gtest/gtest.h>
#include <mntent.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

#include "support/fork.h"

namespace vardo {
namespace {

TEST(Fsinfo, Arithmetic) {
  EXPECT_EQ(fsinfo_megabytes(1024, 5000), 4); // unit factor 2, 1024 blocks per megabyte
  EXPECT_EQ(fsinfo_megabytes(0, 4096), 2);    // 0 and 256 count as 512: 2048 per megabyte
  EXPECT_EQ(fsinfo_megabytes(256, 4095), 1);
  EXPECT_EQ(fsinfo_megabytes(4096, 0xFFFFFFFFu), 16777215);
  EXPECT_EQ(fsinfo_percent(0, 0), 0);
  EXPECT_EQ(fsinfo_percent(3, 1), 33);
  EXPECT_EQ(fsinfo_percent(1000, 999), 99);
  EXPECT_EQ(fsinfo_percent(0xFFFFFFFFu, 0xFFFFFFFFu), 100); // unsigned, not negative
}

TEST(Fsinfo, RootIndicatorAndFreeMegabytes) {
  int root = -5, free_mb = -5;
  EXPECT_EQ(fsinfo_check_mb("/", 0, &root, &free_mb), 1);
  EXPECT_EQ(root, 1);
  EXPECT_EQ(fsinfo_check_mb("/proc", 0, &root, &free_mb), 1);
  EXPECT_EQ(root, 0);
  EXPECT_EQ(free_mb, 0);
  // A tmpfs mounted somewhere on this machine is not the root filesystem either.
  FILE *mounts = setmntent("/proc/self/mounts", "r");
  ASSERT_NE(mounts, nullptr);
  std::string tmpfs;
  while (struct mntent *m = getmntent(mounts))
    if (strcmp(m->mnt_type, "tmpfs") == 0 && strcmp(m->mnt_dir, "/") != 0 && tmpfs.empty())
      tmpfs = m->mnt_dir;
  endmntent(mounts);
  if (tmpfs.empty())
    GTEST_SKIP() << "no tmpfs is mounted here";
  root = -1;
  EXPECT_NE(fsinfo_check_mb(tmpfs.c_str(), 0, &root, &free_mb), -1) << tmpfs;
  EXPECT_EQ(root, 0) << tmpfs;
}

// The free megabytes of a filesystem nothing else writes to: a fresh tmpfs of 8 MiB, mounted in a
// mount namespace of a child of its own, which takes it along when it ends.
TEST(Fsinfo, FreeMegabytesOfAFreshFilesystem) {
  test::TempDir dir;
  auto r = test::run_forked([&] {
    if (unshare(CLONE_NEWNS) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=8m") < 0)
      _exit(77);
    int root = -5, free_mb = -5;
    int more = fsinfo_check_mb(dir.path().c_str(), 9, &root, &free_mb);
    printf("%d %d %d %d", fsinfo_check_mb(dir.path().c_str(), 8, &root, &free_mb), more, root,
           free_mb);
  });
  if (r.status == 77)
    GTEST_SKIP() << "a private mount namespace with a tmpfs is not permitted here";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 0 0 8");
}

TEST(Fsinfo, ModesAtTheirLimits) {
  int root, free_mb;
  // /proc has no blocks at all: 0 free megabytes and a percentage of 0.
  EXPECT_EQ(fsinfo_check_mb("/proc", 0, &root, &free_mb), 1); // equal to the free megabytes
  EXPECT_EQ(fsinfo_check_mb("/proc", 1, &root, &free_mb), 0);
  EXPECT_EQ(fsinfo_check_pct("/proc", 0, &root, &free_mb), 1);
  EXPECT_EQ(fsinfo_check_pct("/proc", -3, &root, &free_mb), 1);
  EXPECT_EQ(fsinfo_check_pct("/proc", 1, &root, &free_mb), 0);
  root = free_mb = -7;
  EXPECT_EQ(fsinfo_check_space(3, "/proc", 0, &root, &free_mb), -1);
  EXPECT_EQ(root, 0); // written before the mode is looked at
  EXPECT_EQ(free_mb, 0);
  root = free_mb = -7;
  EXPECT_EQ(fsinfo_check_mb("/no/such/path", 1, &root, &free_mb), -1);
  EXPECT_EQ(root, -7);
  EXPECT_EQ(free_mb, -7);
}

} // namespace
} // namespace vardo

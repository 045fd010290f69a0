#include "lib/mnttab.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sstream>
#include <sys/vfs.h>
#include <unistd.h>

#include "support/process.h"

namespace vardo {
namespace {

// One 72-byte record of the binary table.
std::string record(const std::string &device, const std::string &mount_point, int16_t flag,
                   int32_t time) {
  std::string r(72, '\0');
  r.replace(0, device.size(), device);
  r.replace(32, mount_point.size(), mount_point);
  memcpy(r.data() + 64, &flag, 2);
  r[66] = r[67] = '\x55'; // the gap is never read
  memcpy(r.data() + 68, &time, 4);
  return r;
}

class Mnttab : public ::testing::Test {
protected:
  void SetUp() override {
    mnttab_close();
    path_ = dir_ / "mnttab";
    mount_table.path = path_.c_str();
  }
  void TearDown() override {
    mnttab_close();
    mount_table = MountTable{};
  }
  test::TempDir dir_;
  std::string path_;
};

TEST_F(Mnttab, EmptyTable) {
  test::write_file(path_, "");
  EXPECT_EQ(mnttab_next(), nullptr);
  EXPECT_EQ(mnttab_next(), nullptr);
}

TEST_F(Mnttab, RecordsAndTheReadOnlyFlag) {
  test::write_file(path_, record("/dev/dsk/0s1", "/", 65, 1000) +
                              record("/dev/b", "/nonexistent", 0, 2) + record("/dev/c", "/", 1, 3) +
                              record("/dev/d", "/", 64, 4));
  MountEntry *e = mnttab_next();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->device, "/dev/dsk/0s1");
  EXPECT_STREQ(e->mount_point, "/");
  EXPECT_EQ(e->read_only, 1);
  EXPECT_EQ(e->mount_time, 1000);
  EXPECT_NE(e->fs_type[0], '\0'); // statfs on "/" works
  e = mnttab_next();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->read_only, 0);
  EXPECT_STREQ(e->fs_type, ""); // statfs fails: the entry still comes, without a type
  EXPECT_EQ(mnttab_next()->read_only, 0);
  e = mnttab_next();
  EXPECT_EQ(e->read_only, 0);
  EXPECT_EQ(e->mount_time, 4);
}

TEST_F(Mnttab, ShortLastRecordEndsTheTableAndCloseStartsAgain) {
  test::write_file(path_, record("a", "/", 0, 1) + record("b", "/", 0, 2).substr(0, 50));
  ASSERT_NE(mnttab_next(), nullptr);
  EXPECT_EQ(mnttab_next(), nullptr);
  EXPECT_EQ(mnttab_next(), nullptr);
  mnttab_close();
  mnttab_close(); // closing a closed cursor does nothing
  MountEntry *e = mnttab_next();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->device, "a");
}

TEST_F(Mnttab, SystemMountListWhenThereIsNoBinaryTable) {
  // No file at the path: the running system's mounts stand in, less those that keep no files:
  // nothing at or below /proc, /sys, /dev or /run, and no memory filesystem.
  // Read on its own here: whether "/" is a mount point of this process at all. In a chroot whose
  // root is a plain directory the kernel lists no mount at "/".
  if (access("/proc/self/mounts", R_OK) != 0)
    GTEST_SKIP() << "/proc/self/mounts cannot be read here (no /proc mounted)";
  bool root_is_mounted = false;
  std::istringstream kernel_list(test::read_file("/proc/self/mounts"));
  for (std::string device, dir, rest;
       kernel_list >> device >> dir && std::getline(kernel_list, rest);)
    root_is_mounted |= dir == "/";
  struct statfs root;
  ASSERT_EQ(statfs("/", &root), 0);
  bool saw_root = false;
  while (MountEntry *e = mnttab_next()) {
    std::string dir = e->mount_point;
    if (dir == "/")
      saw_root = true;
    for (std::string top : {"/proc", "/sys", "/dev", "/run"})
      EXPECT_TRUE(dir != top && dir.rfind(top + "/", 0) != 0) << dir;
    struct statfs st;
    if (statfs(e->mount_point, &st) == 0) {
      EXPECT_EQ(std::string(e->fs_type), std::to_string(static_cast<int16_t>(st.f_type)));
      EXPECT_NE(st.f_type, TMPFS_MAGIC) << dir;
      EXPECT_NE(st.f_type, RAMFS_MAGIC) << dir;
    }
  }
  // The root filesystem is offered when it is a mount point and not itself held in memory.
  if (root_is_mounted && root.f_type != TMPFS_MAGIC && root.f_type != RAMFS_MAGIC) {
    EXPECT_TRUE(saw_root);
  }
}

TEST_F(Mnttab, SystemMountListDecodesEscapesAndReadsTheReadOnlyOption) {
  // The kernel's format, with the octal escapes it writes for blanks, tabs and backslashes.
  std::string list = dir_ / "mounts";
  std::string fits = "/" + std::string(126, 'm'), too_long = "/" + std::string(127, 'm');
  std::string text;
  for (const std::string &line : {
           std::string("/dev/sda1 / ext4 rw,relatime,errors=remount-ro 0 0\n"),
           std::string("tmp\\040fs /tmp/with\\040blank\\011tab ext2 ro,nosuid 0 0\n"),
           std::string("odd\\x /back\\134slash\\12 ext2 rw,ro 0 0\n"),
           "long " + too_long + " ext2 ro 0 0\n", // passed over: the mount point does not fit
           "max " + fits + " ext2 rw 0 0\n",
           "overlay /merged overlay ro,lowerdir=" + std::string(400, 'l') + " 0 0\n",
           std::string("\n"),
           std::string("last /no/newline ext2 ro 0 0"),
       })
    text += line;
  test::write_file(list, text);
  mount_table.system_path = list.c_str();
  struct Expected {
    const char *device;
    std::string mount_point;
    int read_only;
  };
  for (const Expected &x :
       {Expected{"/dev/sda1", "/", 0}, Expected{"tmp fs", "/tmp/with blank\ttab", 1},
        Expected{"odd\\x", "/back\\slash\\12", 1}, Expected{"max", fits, 0},
        Expected{"overlay", "/merged", 1}, Expected{"last", "/no/newline", 1}}) {
    MountEntry *e = mnttab_next();
    ASSERT_NE(e, nullptr) << x.mount_point;
    EXPECT_STREQ(e->device, x.device);
    EXPECT_EQ(e->mount_point, x.mount_point);
    EXPECT_EQ(e->read_only, x.read_only) << x.mount_point;
    EXPECT_EQ(e->mount_time, 0);
  }
  EXPECT_EQ(mnttab_next(), nullptr);
}

} // namespace
} // namespace vardo

#include "lib/mnttab.h"

#include <cstring>
#include <initializer_list>
#include <mntent.h>
#include <sys/vfs.h>

namespace vardo {

MountTable mount_table;

// One record of the binary table, 72 bytes in the machine's byte order:
//
//   offset  width  field
//   0       32     device, text ended by NUL
//   32      32     mount point, text ended by NUL
//   64      2      read-only flag, signed 16-bit: read-only exactly when it equals 65 (0x41)
//   66      2      alignment gap, not read
//   68      4      mount time, 32-bit
constexpr size_t kRecordSize = 72;
constexpr int16_t kReadOnlyFlag = 65;

static void copy_field(char *dst, size_t size, const char *src, size_t max) {
  size_t len = strnlen(src, max);
  if (len >= size)
    len = size - 1;
  memcpy(dst, src, len);
  dst[len] = '\0';
}

// The filesystem type number of the mount point, as signed 16-bit decimal text.
static void fill_fs_type(MountEntry *e) {
  memset(e->fs_type, 0, sizeof e->fs_type);
  struct statfs st;
  if (statfs(e->mount_point, &st) == 0)
    snprintf(e->fs_type, sizeof e->fs_type, "%d", static_cast<int16_t>(st.f_type));
}

static bool read_binary_record(MountEntry *e) {
  unsigned char rec[kRecordSize];
  if (fread(rec, kRecordSize, 1, mount_table.file) != 1)
    return false;
  copy_field(e->device, sizeof e->device, reinterpret_cast<char *>(rec), 32);
  copy_field(e->mount_point, sizeof e->mount_point, reinterpret_cast<char *>(rec + 32), 32);
  int16_t flag;
  memcpy(&flag, rec + 64, sizeof flag);
  e->read_only = flag == kReadOnlyFlag;
  memcpy(&e->mount_time, rec + 68, sizeof e->mount_time);
  return true;
}

// Kernel pseudo filesystems and filesystems held in memory: files placed there do not last, so
// the system's mount list never offers them.
static bool keeps_no_files(const struct mntent *m) {
  static const char *const kTypes[] = {
      "proc",       "sysfs",      "devtmpfs", "devpts",      "tmpfs",  "ramfs",     "cgroup",
      "cgroup2",    "securityfs", "debugfs",  "tracefs",     "mqueue", "hugetlbfs", "pstore",
      "bpf",        "configfs",   "fusectl",  "binfmt_misc", "autofs", "efivarfs",  "nsfs",
      "rpc_pipefs", "selinuxfs",  "nfsd",     "fuse.lxcfs"};
  for (const char *type : kTypes)
    if (strcmp(m->mnt_type, type) == 0)
      return true;
  for (const char *top : {"/proc", "/sys", "/dev", "/run"}) {
    size_t len = strlen(top);
    if (strncmp(m->mnt_dir, top, len) == 0 && (m->mnt_dir[len] == '\0' || m->mnt_dir[len] == '/'))
      return true;
  }
  return false;
}

// The running system's mount list, without the filesystems that keep no files. Entries whose
// mount point does not fit are passed over too: a cut path would name another directory.
static bool read_system_entry(MountEntry *e) {
  while (struct mntent *m = getmntent(mount_table.file)) {
    if (strlen(m->mnt_dir) >= sizeof e->mount_point || keeps_no_files(m))
      continue;
    copy_field(e->device, sizeof e->device, m->mnt_fsname, strlen(m->mnt_fsname));
    copy_field(e->mount_point, sizeof e->mount_point, m->mnt_dir, sizeof e->mount_point);
    e->read_only = hasmntopt(m, "ro") != nullptr;
    e->mount_time = 0;
    return true;
  }
  return false;
}

MountEntry *mnttab_next() {
  if (!mount_table.file) {
    mount_table.file = fopen(mount_table.path, "r");
    mount_table.binary = mount_table.file != nullptr;
    if (!mount_table.file)
      mount_table.file = setmntent("/proc/self/mounts", "r");
    if (!mount_table.file)
      return nullptr;
  }
  MountEntry *e = &mount_table.entry;
  if (!(mount_table.binary ? read_binary_record(e) : read_system_entry(e)))
    return nullptr;
  fill_fs_type(e);
  return e;
}

void mnttab_close() {
  if (!mount_table.file)
    return;
  if (mount_table.binary)
    fclose(mount_table.file);
  else
    endmntent(mount_table.file);
  mount_table.file = nullptr;
}

} // namespace vardo

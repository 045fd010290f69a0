#include "lib/mnttab.h"

#include <cstring>
#include <initializer_list>
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

// Reads one field of a line of the kernel's mount list into `dst` (`size` bytes with the NUL),
// decoding the octal escapes the kernel writes for a blank, a tab, a newline and a backslash
// inside a field (\040, \011, \012, \134); a backslash not followed by three octal digits stands
// for itself. Sets `*end` to what ended the field: a blank, a tab, a newline or EOF. Returns
// false when the field did not fit (the rest of it is read and dropped).
static bool read_field(FILE *f, char *dst, size_t size, int *end) {
  size_t n = 0;
  auto put = [&](int ch) {
    if (n + 1 < size)
      dst[n] = static_cast<char>(ch);
    ++n;
  };
  int c = getc(f);
  while (c != EOF && c != ' ' && c != '\t' && c != '\n') {
    if (c != '\\') {
      put(c);
      c = getc(f);
      continue;
    }
    char digits[3];
    int k = 0;
    while (k < 3 && (c = getc(f)) >= '0' && c <= '7')
      digits[k++] = static_cast<char>(c);
    if (k == 3) {
      put((digits[0] - '0') << 6 | (digits[1] - '0') << 3 | (digits[2] - '0'));
      c = getc(f);
      continue;
    }
    put('\\');
    for (int i = 0; i < k; ++i)
      put(digits[i]);
  }
  dst[n < size ? n : size - 1] = '\0';
  *end = c;
  return n < size;
}

// Whether "ro" is one of the comma-separated options.
static bool has_read_only_option(const char *options) {
  for (const char *p = options;; ++p) {
    size_t len = strcspn(p, ",");
    if (len == 2 && strncmp(p, "ro", 2) == 0)
      return true;
    p += len;
    if (!*p)
      return false;
  }
}

// Kernel pseudo filesystems and filesystems held in memory: files placed there do not last, so
// the system's mount list never offers them, nor anything mounted below /proc, /sys, /dev or /run.
static bool keeps_no_files(const char *type, const char *dir) {
  static const char *const kTypes[] = {
      "proc",       "sysfs",      "devtmpfs", "devpts",      "tmpfs",  "ramfs",     "cgroup",
      "cgroup2",    "securityfs", "debugfs",  "tracefs",     "mqueue", "hugetlbfs", "pstore",
      "bpf",        "configfs",   "fusectl",  "binfmt_misc", "autofs", "efivarfs",  "nsfs",
      "rpc_pipefs", "selinuxfs",  "nfsd",     "fuse.lxcfs"};
  for (const char *t : kTypes)
    if (strcmp(type, t) == 0)
      return true;
  for (const char *top : {"/proc", "/sys", "/dev", "/run"}) {
    size_t len = strlen(top);
    if (strncmp(dir, top, len) == 0 && (dir[len] == '\0' || dir[len] == '/'))
      return true;
  }
  return false;
}

// The running system's mount list: "device mount-point type options dump pass" a line. Entries
// whose mount point does not fit are passed over: a cut path would name another directory. The
// kernel writes "ro" or "rw" first among the options, so a cut options field still tells.
static bool read_system_entry(MountEntry *e) {
  FILE *f = mount_table.file;
  int end;
  auto another_field = [&end] { return end == ' ' || end == '\t'; };
  for (;;) {
    char type[32] = "", options[256] = "";
    read_field(f, e->device, sizeof e->device, &end);
    if (end == EOF)
      return false;
    bool fits = another_field() && read_field(f, e->mount_point, sizeof e->mount_point, &end);
    if (another_field())
      read_field(f, type, sizeof type, &end);
    if (another_field())
      read_field(f, options, sizeof options, &end);
    while (end != '\n' && end != EOF)
      end = getc(f);
    if (fits && e->mount_point[0] && !keeps_no_files(type, e->mount_point)) {
      e->read_only = has_read_only_option(options);
      e->mount_time = 0;
      return true;
    }
  }
}

MountEntry *mnttab_next() {
  if (!mount_table.file) {
    mount_table.file = fopen(mount_table.path, "re");
    mount_table.binary = mount_table.file != nullptr;
    if (!mount_table.file)
      mount_table.file = fopen(mount_table.system_path, "re");
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
  fclose(mount_table.file);
  mount_table.file = nullptr;
}

} // namespace vardo

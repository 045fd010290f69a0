#include "lib/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/auxv.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "lib/text.h"

namespace vardo {

// Reads one field of a line of the kernel's mount list into `dst` (`size` bytes with the NUL),
// decoding the octal escapes the kernel writes for a blank, a tab, a newline and a backslash
// inside a field (\040, \011, \012, \134); a backslash not followed by three octal digits stands
// for itself. Sets `*end` to what ended the field: a blank, a tab, a newline or the end (-1).
// Returns false when the field did not fit (the rest of it is read and dropped).
static bool read_field(ByteReader &f, char *dst, size_t size, int *end) {
  size_t n = 0;
  auto put = [&](int ch) {
    if (n + 1 < size)
      dst[n] = static_cast<char>(ch);
    ++n;
  };
  int c = next_byte(f);
  while (c >= 0 && c != ' ' && c != '\t' && c != '\n') {
    if (c != '\\') {
      put(c);
      c = next_byte(f);
      continue;
    }
    char digits[3];
    int k = 0;
    while (k < 3 && (c = next_byte(f)) >= '0' && c <= '7')
      digits[k++] = static_cast<char>(c);
    if (k == 3) {
      put((digits[0] - '0') << 6 | (digits[1] - '0') << 3 | (digits[2] - '0'));
      c = next_byte(f);
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
  static const char kTypes[] =
      "proc sysfs devtmpfs devpts tmpfs ramfs cgroup cgroup2 securityfs debugfs tracefs mqueue "
      "hugetlbfs pstore bpf configfs fusectl binfmt_misc autofs efivarfs nsfs rpc_pipefs selinuxfs "
      "nfsd fuse.lxcfs";
  if (is_listed(type, strlen(type), kTypes))
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
bool platform_read_mount(ByteReader &f, MountEntry *e) {
  int end;
  auto another_field = [&end] { return end == ' ' || end == '\t'; };
  for (;;) {
    char type[32] = "", options[256] = "";
    read_field(f, e->device, sizeof e->device, &end);
    if (end < 0)
      return false;
    bool fits = another_field() && read_field(f, e->mount_point, sizeof e->mount_point, &end);
    if (another_field())
      read_field(f, type, sizeof type, &end);
    if (another_field())
      read_field(f, options, sizeof options, &end);
    while (end != '\n' && end >= 0)
      end = next_byte(f);
    if (fits && e->mount_point[0] && !keeps_no_files(type, e->mount_point)) {
      e->read_only = has_read_only_option(options);
      e->mount_time = 0;
      return true;
    }
  }
}

void platform_fs_type(const char *path, char (&type)[32]) {
  memset(type, 0, sizeof type);
  struct statfs st;
  if (statfs(path, &st) == 0)
    snprintf(type, sizeof type, "%d", static_cast<int16_t>(st.f_type));
}

int platform_fs_stats(const char *path, FsStats *stats) {
  struct statvfs fs;
  if (statvfs(path, &fs) < 0)
    return -1;
  *stats = FsStats{fs.f_frsize, fs.f_blocks, fs.f_bavail};
  return 0;
}

// The link can be read wherever /proc is mounted, even when the file has been removed or renamed
// since it was started.
const char *platform_self_path() {
  static const char kSelf[] = "/proc/self/exe";
  char target[1];
  if (readlink(kSelf, target, sizeof target) >= 0)
    return kSelf;
  // Without /proc: the path the kernel was given to start this program, which the process has
  // not moved away from (it changes no directory before it looks). Never argv[0], which the
  // caller chooses, nor a search of the current directory, where another user may have put a
  // file of that name.
  auto execfn = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
  return execfn && *execfn ? execfn : nullptr;
}

} // namespace vardo

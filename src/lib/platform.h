// Linux stand-ins for the System V facilities the support modules and the archive lookup were
// designed around, each substitution in one place:
//   - the binary mount table /etc/mnttab, where there is none: the kernel's mount list
//     (/proc/self/mounts) read by hand, less the filesystems that keep no files;
//   - the table's read-only flag: "ro" among the mount options;
//   - the four-argument statfs: statvfs for the fragment size and block counts, and Linux's
//     statfs for the filesystem type number;
//   - statfs's free block count: statvfs's f_bavail, the blocks an ordinary user may still write;
//   - the program's own file, looked up along PATH: /proc/self/exe, else the path the kernel
//     started the program from.
#pragma once
#include <sys/statvfs.h>

#include "lib/mnttab.h"

namespace vardo {

// Reads the next entry of the kernel's mount list `f` into `e` (device, mount point, read-only
// flag; mount time 0), passing over the filesystems that keep no files and entries whose mount
// point does not fit. Returns false at the end of the list.
bool platform_read_mount(ByteReader &f, MountEntry *e);

// Writes the filesystem type number of `path` as signed 16-bit decimal text into `type`, or
// leaves it empty when the path cannot be queried.
void platform_fs_type(const char *path, char (&type)[32]);

// What the space checks read about the filesystem that holds a path.
struct FsStats {
  unsigned long fragment_size;
  fsblkcnt_t blocks;    // in fragments
  fsblkcnt_t available; // free to an ordinary user, in fragments
};

// Returns 0 with the statistics of the filesystem that holds `path`, or -1 when it cannot be
// queried.
int platform_fs_stats(const char *path, FsStats *stats);

// The name under which the system shows the running program's own file: /proc/self/exe, or
// without /proc the path the kernel was given to start it. Null where there is neither.
const char *platform_self_path();

} // namespace vardo

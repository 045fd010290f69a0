// The table of mounted filesystems, one entry at a time.
#pragma once
#include <cstdint>

#include "lib/byte_reader.h"

namespace vardo {

struct MountEntry {
  char device[128];
  char mount_point[128];
  char fs_type[32]; // decimal filesystem type number from statfs; empty when it cannot be had
  unsigned char read_only;
  int32_t mount_time;
};

// The cursor over the table: closed at start, opened by the first mnttab_next, left open at the
// end of the table. The binary table at `path` is read when it exists; otherwise the running
// system's mount list at `system_path` stands in for it, less the pseudo and memory filesystems
// and everything mounted below /proc, /sys, /dev and /run.
struct MountTable {
  const char *path = "/etc/mnttab";
  const char *system_path = "/proc/self/mounts";
  ByteReader file;
  bool binary = false;
  MountEntry entry = {};
};

extern MountTable mount_table;

// Returns the next mounted filesystem, or null at the end of the table (and on every later call
// until mnttab_close).
MountEntry *mnttab_next();

// Closes the cursor, so that the next mnttab_next starts at the first entry again.
void mnttab_close();

} // namespace vardo

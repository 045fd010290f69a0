#include "lib/mnttab.h"

#include <cstring>

#include "lib/platform.h"

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

static bool read_binary_record(MountEntry *e) {
  unsigned char rec[kRecordSize];
  for (unsigned char &byte : rec) {
    int c = next_byte(mount_table.file);
    if (c < 0)
      return false;
    byte = static_cast<unsigned char>(c);
  }
  copy_field(e->device, sizeof e->device, reinterpret_cast<char *>(rec), 32);
  copy_field(e->mount_point, sizeof e->mount_point, reinterpret_cast<char *>(rec + 32), 32);
  int16_t flag;
  memcpy(&flag, rec + 64, sizeof flag);
  e->read_only = flag == kReadOnlyFlag;
  memcpy(&e->mount_time, rec + 68, sizeof e->mount_time);
  return true;
}

MountEntry *mnttab_next() {
  ByteReader &f = mount_table.file;
  if (f.fd < 0) {
    mount_table.binary = open_bytes(f, mount_table.path);
    if (!mount_table.binary && !open_bytes(f, mount_table.system_path))
      return nullptr;
  }
  MountEntry *e = &mount_table.entry;
  if (!(mount_table.binary ? read_binary_record(e) : platform_read_mount(f, e)))
    return nullptr;
  platform_fs_type(e->mount_point, e->fs_type);
  return e;
}

void mnttab_close() { close_bytes(mount_table.file); }

} // namespace vardo

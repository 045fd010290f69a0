#include "lib/entries.h"

#include <cstdint>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace vardo {

int read_entries(int fd, bool (*each)(const char *name, void *context), void *context) {
  alignas(8) char buf[2048];
  long n;
  while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
    for (long at = 0; at < n;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      uint16_t length;
      memcpy(&length, buf + at + 16, sizeof length);
      const char *name = buf + at + 19;
      at += length;
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !each(name, context))
        return 1;
    }
  }
  return n < 0 ? -1 : 0;
}

} // namespace vardo

#include "lib/byte_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vardo {

bool open_bytes(ByteReader &r, const char *path) {
  r.fd = open(path, O_RDONLY | O_CLOEXEC);
  r.pos = r.len = 0;
  return r.fd >= 0;
}

int next_byte(ByteReader &r) {
  if (r.pos == r.len) {
    ssize_t n;
    do
      n = read(r.fd, r.buf, sizeof r.buf);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
      return -1;
    r.pos = 0;
    r.len = static_cast<unsigned>(n);
  }
  return r.buf[r.pos++];
}

void close_bytes(ByteReader &r) {
  if (r.fd >= 0)
    close(r.fd);
  r.fd = -1;
}

} // namespace vardo

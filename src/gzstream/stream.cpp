#include "gzstream/stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/progress.h"
#include "lib/text.h"

namespace vardo {

StreamState stream;

int next_input_byte() {
  if (stream.in_pos < stream.in_fill)
    return stream.inbuf[stream.in_pos++];
  return refill_input();
}

// Fills the input buffer from the start. Keeps reading until the buffer is full or the source
// ends, so that a pipe delivering small pieces still gives whole fills. Returns the fill.
static uint32_t fill_input() {
  stream.in_fill = 0;
  stream.in_pos = 0;
  errno = 0;
  while (stream.in_fill < kInputBufferSize) {
    ssize_t n =
        read(stream.in_fd, stream.inbuf + stream.in_fill, kInputBufferSize - stream.in_fill);
    if (n <= 0)
      break;
    stream.in_fill += static_cast<uint32_t>(n);
  }
  stream.bytes_in += stream.in_fill;
  progress_advance(stream.in_fill);
  return stream.in_fill;
}

int refill_input() {
  if (fill_input() == 0)
    read_error_exit();
  stream.in_pos = 1;
  return stream.inbuf[0];
}

int try_next_input_byte() {
  if (stream.in_pos < stream.in_fill)
    return stream.inbuf[stream.in_pos++];
  if (fill_input() == 0) {
    if (errno)
      read_error_exit();
    return -1;
  }
  stream.in_pos = 1;
  return stream.inbuf[0];
}

uint32_t input_consumed() { return stream.bytes_in - stream.in_fill + stream.in_pos; }

void flush_output_buffer() {
  if (stream.out_count == 0)
    return;
  write_all(stream.out_fd, stream.outbuf, stream.out_count);
  stream.bytes_out += stream.out_count;
  stream.out_count = 0;
}

void flush_inflate_window() {
  if (stream.out_count == 0)
    return;
  crc32_update(stream.window, stream.out_count);
  if (stream.out_fd != kNoOutput)
    write_all(stream.out_fd, stream.window, stream.out_count);
  stream.bytes_out += stream.out_count;
  stream.out_count = 0;
}

int write_fully(int fd, const void *data, size_t len) {
  auto *p = static_cast<const unsigned char *>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0)
      return -1;
    if (n == 0) {
      // A write that accepts nothing would loop for ever; treat it as the device being full.
      errno = ENOSPC;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

void write_all(int fd, const void *data, size_t len) {
  if (write_fully(fd, data, len) < 0)
    write_error_exit();
}

int name_archive_streams(const char *path) {
  if (copy_text(stream.in_name, path) < 0) {
    fprintf(stderr, "%s: %s: archive name longer than %zu characters\n", process.program_name, path,
            kNameSize - 1);
    return -1;
  }
  stream.out_fd = STDOUT_FILENO;
  strcpy(stream.out_name, "stdout");
  return 0;
}

bool is_standard_output(int fd) {
  struct stat in, out;
  return fstat(fd, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
         in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

void reset_stream() {
  stream.in_fill = 0;
  stream.in_pos = 0;
  stream.out_count = 0;
  stream.bytes_in = 0;
  stream.bytes_out = 0;
  stream.members = 0;
}

} // namespace vardo

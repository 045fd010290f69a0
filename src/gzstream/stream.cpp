#include "gzstream/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "gzstream/progress.h"
#include "gzstream/tap.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

int next_input_byte(StreamState &s) {
  if (s.in_pos < s.in_fill)
    return s.inbuf[s.in_pos++];
  return refill_input(s);
}

// Fills the input buffer from the start. Keeps reading until the buffer is full or the source
// ends, so that a pipe delivering small pieces still gives whole fills. Returns the fill.
static uint32_t fill_input(StreamState &s) {
  s.in_fill = 0;
  s.in_pos = 0;
  errno = 0;
  while (s.in_fill < kInputBufferSize) {
    ssize_t n = read(s.in_fd, s.inbuf + s.in_fill, kInputBufferSize - s.in_fill);
    if (n <= 0)
      break;
    s.in_fill += static_cast<uint32_t>(n);
  }
  s.bytes_in += s.in_fill;
  progress_advance(s.in_fill);
  if (s.tap)
    tap_feed(*s.tap, s.inbuf, s.in_fill);
  return s.in_fill;
}

int refill_input(StreamState &s) {
  if (fill_input(s) == 0)
    read_error_exit(s);
  s.in_pos = 1;
  return s.inbuf[0];
}

int try_next_input_byte(StreamState &s) {
  if (s.in_pos < s.in_fill)
    return s.inbuf[s.in_pos++];
  if (fill_input(s) == 0) {
    if (errno)
      read_error_exit(s);
    return -1;
  }
  s.in_pos = 1;
  return s.inbuf[0];
}

size_t read_input(StreamState &s, unsigned char *dst, size_t len) {
  size_t got = std::min(len, static_cast<size_t>(s.in_fill - s.in_pos));
  memcpy(dst, s.inbuf + s.in_pos, got);
  s.in_pos += static_cast<uint32_t>(got);
  while (got < len) {
    ssize_t n = read(s.in_fd, dst + got, len - got);
    if (n < 0)
      read_error_exit(s);
    if (n == 0)
      break;
    s.bytes_in += static_cast<uint64_t>(n);
    progress_advance(static_cast<uint64_t>(n));
    if (s.tap)
      tap_feed(*s.tap, dst + got, static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  return got;
}

void drain_input(StreamState &s) {
  while (fill_input(s) > 0) {
  }
  if (errno)
    read_error_exit(s);
}

uint64_t input_consumed(const StreamState &s) { return s.bytes_in - s.in_fill + s.in_pos; }

void flush_output_buffer(StreamState &s) {
  if (s.out_count == 0)
    return;
  write_all(s, s.outbuf, s.out_count);
  s.bytes_out += s.out_count;
  s.out_count = 0;
}

void append_output(StreamState &s, const void *data, size_t len) {
  auto *p = static_cast<const unsigned char *>(data);
  while (len > 0) {
    size_t n = std::min(len, kOutputBufferSize - s.out_count);
    memcpy(s.outbuf + s.out_count, p, n);
    s.out_count += static_cast<uint32_t>(n);
    p += n;
    len -= n;
    if (s.out_count == kOutputBufferSize)
      flush_output_buffer(s);
  }
}

void flush_inflate_window(StreamState &s) {
  if (s.out_count == 0)
    return;
  crc32_update(s, s.window, s.out_count);
  if (s.out_fd != kNoOutput)
    write_all(s, s.window, s.out_count);
  s.bytes_out += s.out_count;
  s.out_count = 0;
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

int write_output(const StreamState &s, const void *data, size_t len) {
  if (s.out_digest)
    sha256_update(*s.out_digest, data, len);
  return write_fully(s.out_fd, data, len);
}

void write_all(const StreamState &s, const void *data, size_t len) {
  if (write_output(s, data, len) < 0)
    write_error_exit(s);
}

int name_archive_streams(StreamState &s, const char *path) {
  if (copy_text(s.in_name, path) < 0) {
    fprintf(stderr, "%s: %s: archive name longer than %zu characters\n", process.program_name,
            visible(path, stderr), kNameSize - 1);
    return -1;
  }
  s.out_fd = STDOUT_FILENO;
  strcpy(s.out_name, "stdout");
  return 0;
}

bool is_standard_output(int fd) {
  struct stat in, out;
  return fstat(fd, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
         in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

void reset_stream(StreamState &s) {
  s.in_fill = 0;
  s.in_pos = 0;
  s.out_count = 0;
  s.bytes_in = 0;
  s.bytes_out = 0;
}

} // namespace vardo

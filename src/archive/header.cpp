#include "archive/header.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/settings.h"
#include "gzstream/stream.h"

namespace vardo {

ArchiveHeader archive_header;

// The four header strings in layout order.
static std::array<char *, 4> header_strings() {
  return {archive_header.features, archive_header.comment, archive_header.run_command,
          archive_header.extract_command};
}

static void report_unlocatable() {
  fprintf(stderr, "%s: unable to find vardo to build preamble\n", settings.program_name);
}

// Reads the whole preamble file into a new buffer of size + 1 bytes; null after a message.
static char *read_preamble(const char *path, size_t *size) {
  struct stat st;
  if (stat(path, &st) < 0) {
    perror(path);
    return nullptr;
  }
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    perror(path);
    return nullptr;
  }
  *size = static_cast<size_t>(st.st_size);
  char *buf = static_cast<char *>(malloc(*size + 1));
  if (!buf) {
    perror(path);
    close(fd);
    return nullptr;
  }
  // Read on until the whole size is in: a short read must never leave unread bytes behind.
  for (size_t got = 0; got < *size;) {
    ssize_t n = read(fd, buf + got, *size - got);
    if (n <= 0) {
      if (n == 0)
        fprintf(stderr, "%s: %s: file ended after %zu of %zu bytes\n", settings.program_name, path,
                got, *size);
      else
        perror(path);
      free(buf);
      close(fd);
      return nullptr;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);
  return buf;
}

int write_preamble(const char *preamble_name, int out_fd) {
  const char *path = preamble_name[0] ? locate_program(preamble_name) : nullptr;
  if (!path) {
    report_unlocatable();
    return -1;
  }
  size_t size = 0;
  char *buf = read_preamble(path, &size);
  if (!buf)
    return -1;
  if (write_fully(out_fd, buf, size) < 0) {
    perror(stream.out_name);
    free(buf);
    return -1;
  }
  free(buf);
  write_all(out_fd, make_magic(), kMagicSize);
  for (const char *text : header_strings())
    write_all(out_fd, text, strlen(text) + 1);
  return 0;
}

// Finds the end of the first magic value in the file. The match count carries over from one
// chunk to the next, and a byte that breaks a partial match is not compared again with the first
// magic byte. Returns the offset of the byte after the magic, or -1.
static off_t find_magic(int fd) {
  const char *magic = make_magic();
  char buf[8192];
  off_t before = 0;
  int m = 0;
  for (;;) {
    ssize_t n = read(fd, buf, 8191);
    if (n <= 0)
      return -1;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != magic[m]) {
        m = 0;
      } else if (++m == kMagicSize) {
        return before + i + 1;
      }
    }
    before += n;
  }
}

// Reads one NUL-terminated header string, one byte per read so that nothing beyond the block is
// consumed. The end of the file ends the string. Returns -1 when it does not fit the buffer.
static int read_header_string(int fd, char *text) {
  for (int i = 0; i < kHeaderStringSize; ++i) {
    if (read(fd, text + i, 1) != 1 || text[i] == '\0') {
      text[i] = '\0';
      return 0;
    }
  }
  text[kHeaderStringSize - 1] = '\0';
  return -1;
}

int open_archive(const char *name) {
  const char *path = locate_program(name);
  if (!path) {
    report_unlocatable();
    return -1;
  }
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    perror(path);
    return -1;
  }
  off_t start = find_magic(fd);
  if (start < 0 || lseek(fd, start, SEEK_SET) < 0) {
    close(fd);
    return -1;
  }
  for (char *text : header_strings()) {
    if (read_header_string(fd, text) < 0) {
      fprintf(stderr, "%s: %s: header string longer than %d characters\n", settings.program_name,
              path, kHeaderStringSize - 1);
      archive_header = ArchiveHeader{};
      close(fd);
      return -1;
    }
  }
  archive_header.payload_offset = static_cast<int32_t>(lseek(fd, 0, SEEK_CUR));
  return fd;
}

} // namespace vardo

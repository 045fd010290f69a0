#include "archive/header.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "gzstream/tap.h"
#include "lib/platform.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// The four header strings in layout order.
template <typename Header> static auto header_strings(Header &h) {
  return std::array{h.features, h.comment, h.run_command, h.extract_command};
}

static void report_unlocatable() {
  fprintf(stderr, "%s: unable to find vardo to build preamble\n", process.program_name);
}

// The count of magic bytes matched after `byte`, from `m` before it: a byte that breaks a partial
// match is not compared again with the first magic byte. The builder checks its preamble with the
// same step that every reader searches with.
static int match_magic(const char *magic, int m, char byte) { return byte == magic[m] ? m + 1 : 0; }

// The largest preamble whose archive's payload offset still fits the header's 32-bit field.
constexpr off_t kLargestPreamble = INT32_MAX - kHeaderBlockSize;

// Opens the preamble, which must be a regular file other than the output: a FIFO would block
// the build for ever, and the output itself would leave the archive without a preamble. The open
// does not wait (O_NONBLOCK), so a FIFO is seen for what it is. Returns the descriptor and its
// size, or -1 after a message.
static int open_preamble(const char *path, size_t *size) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st = {};
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !is_standard_output(fd) &&
      st.st_size <= kLargestPreamble) {
    *size = static_cast<size_t>(st.st_size);
    return fd;
  }
  if (fd < 0) {
    report_errno(path);
  } else if (S_ISDIR(st.st_mode)) {
    errno = EISDIR; // as reading it would report
    report_errno(path);
  } else {
    fprintf(stderr, "%s: %s: the preamble is %s\n", process.program_name, visible(path, stderr),
            !S_ISREG(st.st_mode)            ? "not a regular file"
            : st.st_size > kLargestPreamble ? "too large (2 GiB or more)"
                                            : "the output file");
  }
  if (fd >= 0)
    close(fd);
  return -1;
}

// Copies the preamble file to `out_fd`: exactly the size it had when it was looked at, in
// chunks, so that memory use does not grow with the preamble. A preamble that holds the magic
// value, or ends in the middle of a match, would hide the header from every reader: the bytes
// copied are searched as a reader searches them, and such a preamble is refused. Returns 0, or -1
// after a message.
static int copy_preamble(const char *path, const StreamState &s) {
  size_t size;
  int fd = open_preamble(path, &size);
  if (fd < 0)
    return -1;
  const char *magic = make_magic();
  char buf[8192];
  int result = 0, m = 0;
  bool holds = false;
  for (size_t done = 0; done < size && result == 0;) {
    ssize_t n = read(fd, buf, std::min(sizeof buf, size - done));
    if (n < 0) {
      report_errno(path);
      result = -1;
    } else if (n == 0) {
      fprintf(stderr, "%s: %s: file ended after %zu of %zu bytes\n", process.program_name,
              visible(path, stderr), done, size);
      result = -1;
    } else if (write_output(s, buf, static_cast<size_t>(n)) < 0) {
      report_errno(s.out_name);
      result = -1;
    } else {
      done += static_cast<size_t>(n);
      for (ssize_t i = 0; i < n && !holds; ++i)
        holds = (m = match_magic(magic, m, buf[i])) == kMagicSize;
    }
  }
  if (result == 0 && (holds || m > 0)) {
    fprintf(stderr,
            "%s: %s: the preamble holds the magic value, or ends with its beginning, which would "
            "hide the header; not used\n",
            process.program_name, visible(path, stderr));
    result = -1;
  }
  close(fd);
  return result;
}

int write_preamble(const ArchiveHeader &h, const char *preamble_name, const StreamState &s) {
  const char *path = preamble_name[0] ? locate_program(preamble_name) : nullptr;
  if (!path) {
    report_unlocatable();
    return -1;
  }
  if (copy_preamble(path, s) < 0)
    return -1;
  char block[kHeaderBlockSize];
  write_all(s, block, static_cast<size_t>(format_header_block(h, block)));
  return 0;
}

int format_header_block(const ArchiveHeader &h, char out[kHeaderBlockSize]) {
  memcpy(out, make_magic(), kMagicSize);
  int n = kMagicSize;
  for (const char *text : header_strings(h)) {
    size_t len = strlen(text) + 1; // each fits a header string, its NUL included
    memcpy(out + n, text, len);
    n += static_cast<int>(len);
  }
  return n;
}

// Finds the end of the first magic value in the file. The match count carries over from one
// chunk to the next (match_magic). A file is read in chunks of 8191 bytes and then sought back to
// the byte after the magic. A pipe cannot seek back, so there each read asks for no more bytes than
// could still belong to the magic, and the descriptor stops exactly after it. Returns the offset of
// the byte after the magic, or -1 (after a message naming `path` when the file cannot be read, as a
// directory cannot).
static off_t find_magic(int fd, const char *path, DigestTap *tap) {
  const char *magic = make_magic();
  bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;
  char buf[8192];
  off_t before = 0;
  int m = 0;
  for (;;) {
    ssize_t n = read(fd, buf, seekable ? 8191 : static_cast<size_t>(kMagicSize - m));
    if (n < 0)
      report_errno(path);
    if (n <= 0)
      return -1;
    if (tap)
      tap_feed(*tap, buf, static_cast<size_t>(n));
    for (ssize_t i = 0; i < n; ++i) {
      if ((m = match_magic(magic, m, buf[i])) == kMagicSize) {
        off_t end = before + i + 1;
        return !seekable || lseek(fd, end, SEEK_SET) == end ? end : -1;
      }
    }
    before += n;
  }
}

// Reads one NUL-terminated header string, one byte per read so that nothing beyond the block is
// consumed. The end of the file ends the string. Returns the bytes consumed, or -1 when the
// string does not fit the buffer.
static int read_header_string(int fd, char *text, DigestTap *tap) {
  for (int i = 0; i < kHeaderStringSize; ++i) {
    if (read(fd, text + i, 1) != 1) {
      text[i] = '\0';
      return i;
    }
    if (tap)
      tap_feed(*tap, text + i, 1);
    if (text[i] == '\0')
      return i + 1;
  }
  text[kHeaderStringSize - 1] = '\0';
  return -1;
}

int open_own_file(const char **path) {
  *path = platform_self_path();
  if (!*path) {
    report_unlocatable();
    return -1;
  }
  return open(*path, O_RDONLY | O_CLOEXEC);
}

int read_archive_header(ArchiveHeader &h, int fd, const char *path, DigestTap *tap) {
  // A file is read again for its digest; a pipe's bytes are hashed as they pass, from the first.
  if (tap && lseek(fd, 0, SEEK_CUR) < 0) {
    Sha256State none;
    sha256_init(none);
    tap_start(*tap, none);
  } else {
    tap = nullptr;
  }
  off_t offset = find_magic(fd, path, tap);
  if (offset < 0)
    return -1;
  for (char *text : header_strings(h)) {
    int consumed = read_header_string(fd, text, tap);
    offset += consumed;
    if (consumed < 0) {
      fprintf(stderr, "%s: %s: header string longer than %d characters\n", process.program_name,
              visible(path, stderr), kHeaderStringSize - 1);
      h = ArchiveHeader{};
      return -1;
    }
  }
  h.payload_offset = static_cast<int32_t>(offset);
  return 0;
}

int open_archive(ArchiveHeader &h, const char *name, DigestTap *tap) {
  const char *path = locate_program(name);
  if (!path) {
    report_unlocatable();
    return -1;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    report_errno(path);
    return -1;
  }
  if (read_archive_header(h, fd, path, tap) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace vardo

#include "archive/integrity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "gzstream/diagnostics.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

static_assert(kTrailerLimit <= kTapHold, "the tap holds back a whole trailer");

void report_not_whole(const char *path) {
  fprintf(stderr,
          "%s: %s: the archive is not whole: it was cut short, or bytes were added after its "
          "end\n",
          process.program_name, visible(path, stderr));
}

static int report_changed(const char *path) {
  fprintf(stderr,
          "%s: %s: the archive's digest does not match its bytes: it was changed after it was "
          "built\n",
          process.program_name, visible(path, stderr));
  return -1;
}

// Reads the trailer from the end of the file of `size` bytes into `t`. Returns its length, or -1
// when the file does not end with one.
static long read_trailer(int fd, off_t size, Trailer *t) {
  unsigned char tail[kTrailerLimit];
  size_t n = size < static_cast<off_t>(sizeof tail) ? static_cast<size_t>(size) : sizeof tail;
  if (pread(fd, tail, n, size - static_cast<off_t>(n)) != static_cast<ssize_t>(n))
    return -1;
  return parse_trailer(tail, n, t);
}

// Feeds the file's bytes from `from` to `to` into the digest. Returns 0, or -1 after the message.
static int hash_range(Sha256State &sha, int fd, const char *path, uint64_t from, uint64_t to) {
  static unsigned char chunk[65536];
  while (from < to) {
    size_t want = to - from < sizeof chunk ? static_cast<size_t>(to - from) : sizeof chunk;
    ssize_t n = pread(fd, chunk, want, static_cast<off_t>(from));
    if (n <= 0) {
      if (n < 0)
        report_errno(path);
      else
        report_not_whole(path);
      return -1;
    }
    sha256_update(sha, chunk, static_cast<size_t>(n));
    from += static_cast<uint64_t>(n);
  }
  return 0;
}

// Hashes the archive's first bytes as its trailer records them and compares. The magic and header
// strings must be the bytes this run read as its header: what is checked is what runs.
static int check_digest(Integrity &g, const ArchiveHeader &h, int fd, const char *path) {
  char block[kHeaderBlockSize], read_back[kHeaderBlockSize];
  auto block_size = static_cast<uint64_t>(format_header_block(h, block));
  auto payload = static_cast<uint64_t>(h.payload_offset);
  if (g.found.length < payload || payload < block_size) {
    report_not_whole(path);
    return -1;
  }
  Sha256State sha;
  sha256_init(sha);
  if (hash_range(sha, fd, path, 0, payload - block_size) < 0)
    return -1;
  auto n = static_cast<ssize_t>(block_size);
  if (pread(fd, read_back, block_size, static_cast<off_t>(payload - block_size)) != n ||
      memcmp(block, read_back, block_size) != 0)
    return report_changed(path);
  sha256_update(sha, block, block_size);
  if (hash_range(sha, fd, path, payload, g.found.length) < 0)
    return -1;
  unsigned char digest[kSha256Size];
  sha256_final(sha, digest);
  return memcmp(digest, g.found.digest, kSha256Size) == 0 ? 0 : report_changed(path);
}

int check_archive(Integrity &g, const ArchiveHeader &h, int fd, const char *path, bool digest) {
  bool announced = feature_get(h, kTrailerItem) != nullptr;
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    // A pipe: its bytes went through the tap from the first, and its end is still to come.
    g.trailer = announced;
    g.streamed = true;
    g.digest = digest;
    return 0;
  }
  long size = read_trailer(fd, st.st_size, &g.found);
  g.trailer = size >= 0;
  if ((!g.trailer && announced) ||
      (g.trailer && g.found.length != static_cast<uint64_t>(st.st_size - size))) {
    report_not_whole(path);
    return -1;
  }
  return g.trailer && digest ? check_digest(g, h, fd, path) : 0;
}

int finish_streamed_digest(Integrity &g, StreamState &s) {
  drain_input(s);
  long size = parse_trailer(g.tap.held, g.tap.held_size, &g.found);
  unsigned char digest[kSha256Size];
  if (size < 0 && !g.trailer) { // an archive without a trailer: the held bytes are its own
    tap_finish(g.tap, 0, digest);
    return 0;
  }
  g.trailer = true;
  if (size < 0 || g.found.length != tap_bytes(g.tap) - static_cast<uint64_t>(size)) {
    report_not_whole(s.in_name);
    return -1;
  }
  tap_finish(g.tap, static_cast<size_t>(size), digest);
  if (g.digest && memcmp(digest, g.found.digest, kSha256Size) != 0)
    return report_changed(s.in_name);
  return 0;
}

// A private file for the copy: unnamed, in $TMPDIR or /tmp, else in memory. Returns its
// descriptor, or -1.
static int private_file() {
  const char *dir = getenv("TMPDIR");
  int fd = open(dir && *dir ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && dir && *dir)
    fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  return fd >= 0 ? fd : memfd_create("vardo", MFD_CLOEXEC);
}

// Copies what is readable from `from`, at most `limit` bytes, into `to`, from the start. Returns
// 0, or -1 after a message naming `path` or the copy.
static int copy_whole(int from, int to, const char *path, uint64_t limit) {
  static unsigned char chunk[65536];
  for (uint64_t copied = 0;;) {
    size_t want =
        limit - copied < sizeof chunk ? static_cast<size_t>(limit - copied) : sizeof chunk;
    ssize_t n = want ? read(from, chunk, want) : 0;
    if (n < 0) {
      report_errno(path);
      return -1;
    }
    if (n == 0)
      return lseek(to, 0, SEEK_SET) == 0 ? 0 : -1;
    if (write_fully(to, chunk, static_cast<size_t>(n)) < 0) {
      report_errno("the private copy of the archive");
      return -1;
    }
    copied += static_cast<uint64_t>(n);
  }
}

int open_private_copy(ArchiveHeader &h, const char *name) {
  // A name with a slash is the file itself: one that is not executable yet is verified too.
  const char *path = strchr(name, '/') ? name : locate_program(name);
  int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    report_errno(path ? path : name);
    return -1;
  }
  // A regular file is copied as long as it was when opened: what another user appends later is
  // not read. A pipe is read to its end.
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  uint64_t limit = regular ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
  int copy = private_file();
  if (copy < 0)
    report_errno("the private copy of the archive");
  int result = copy < 0 ? -1 : copy_whole(fd, copy, name, limit);
  close(fd);
  if (result == 0 && read_archive_header(h, copy, name, nullptr) == 0)
    return copy;
  if (copy >= 0)
    close(copy);
  return -1;
}

} // namespace vardo

#include "archive/integrity.h"

#include <cstdio>
#include <cstring>
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
// strings must be the bytes this run read as its header: what is checked is what runs. The
// digest's state where the payload begins starts the tap of a second reading.
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
  tap_start(g.tap, sha);
  if (hash_range(sha, fd, path, payload, g.found.length) < 0)
    return -1;
  unsigned char digest[kSha256Size];
  sha256_final(sha, digest);
  return memcmp(digest, g.found.digest, kSha256Size) == 0 ? 0 : report_changed(path);
}

int check_archive(Integrity &g, const ArchiveHeader &h, int fd, const char *path,
                  const IntegrityRequest &request) {
  bool announced = feature_get(h, kTrailerItem) != nullptr;
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    if (request.reread) {
      fprintf(stderr,
              "%s: %s: a signature is verified before anything is unpacked, which an archive "
              "read through a pipe does not allow: save it to a file first\n",
              process.program_name, visible(path, stderr));
      return -1;
    }
    // A pipe: its bytes went through the tap from the first, and its end is still to come.
    g.trailer = announced;
    g.streamed = announced && request.digest;
    return 0;
  }
  long size = read_trailer(fd, st.st_size, &g.found);
  g.trailer = size >= 0;
  if ((!g.trailer && announced) ||
      (g.trailer && g.found.length != static_cast<uint64_t>(st.st_size - size))) {
    report_not_whole(path);
    return -1;
  }
  if (!g.trailer || !(request.digest || request.reread))
    return 0;
  g.streamed = request.reread;
  return check_digest(g, h, fd, path);
}

int finish_streamed_digest(Integrity &g, StreamState &s, uint64_t payload_end) {
  drain_input(s);
  Trailer end;
  long size = parse_trailer(g.tap.held, g.tap.held_size, &end);
  uint64_t before = tap_bytes(g.tap) - static_cast<uint64_t>(size);
  if (size < 0 || end.length != before || (payload_end && payload_end != before)) {
    report_not_whole(s.in_name);
    return -1;
  }
  unsigned char digest[kSha256Size];
  tap_finish(g.tap, static_cast<size_t>(size), digest);
  // A file read again must still be the one whose digest was checked; a pipe has only this one.
  const Trailer &expected = g.found.length ? g.found : end;
  if (memcmp(digest, end.digest, kSha256Size) != 0 ||
      memcmp(expected.digest, end.digest, kSha256Size) != 0 || expected.length != end.length)
    return report_changed(s.in_name);
  g.found = end;
  return 0;
}

} // namespace vardo

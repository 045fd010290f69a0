#include "archive/builder.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "archive/signature.h"
#include "archive/trailer.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_writer.h"
#include "gzstream/progress.h"
#include "lib/aplist.h"
#include "lib/basename.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// Refuses, before anything is written, operands that do not fit the input name and a first
// operand whose "NAME=" item does not fit the item buffer.
static void check_operands(int operands, char **operand) {
  for (int i = 0; i < operands; ++i) {
    if (strlen(operand[i]) >= kNameSize) {
      fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name,
              visible(operand[i], stderr), kNameSize - 1);
      exit(1);
    }
  }
}

// Refuses, before anything is written, what every run of the archive would refuse: "VFYFS=" and
// "FSSUB=" values that the space check would refuse, and items the run command may not be
// given. Such an archive could never be unpacked, or never run its run command.
static void check_items(const ArchiveHeader &h) {
  if (h.run_command[0]) {
    void **entries = feature_entries(h);
    if (!entries || feature_check_entries(entries) < 0)
      exit(1);
    aplist_free(entries);
  }
  const char *item = feature_get(h, "VFYFS=");
  if (!item)
    return;
  char verify[kItemBufferSize];
  copy_text(verify, feature_value(item));
  item = feature_get(h, "FSSUB="); // the lookup buffer now holds this item
  const char *sub = item ? feature_value(item) : "";
  const char *why = nullptr;
  if (strlen(verify) > kVerifyDirLimit)
    why = "VFYFS value longer than 127 characters";
  else if (strlen(verify) < 2 || strlen(sub) < 2)
    why = "the space check needs VFYFS and FSSUB values of two characters or more";
  else if (holds_controls(verify) || holds_controls(sub))
    why = "a VFYFS or FSSUB value holds control characters";
  if (why) { // escaped wherever the message goes, as an extraction's refusal shows them
    fprintf(stderr, "%s: %s: %s,%s\n", process.program_name, why, escape_controls(verify),
            escape_controls(sub));
    exit(1);
  }
}

// Formats "NAME=" and the base name of the first operand into `item`, the last item of every
// archive, or refuses the build when it cannot be one.
static void format_name_item(char (&item)[kItemBufferSize], const char *first) {
  const char *base = basename_of(first);
  if (!is_plain_item_value(base)) {
    fprintf(stderr,
            "%s: %s: a file name with a comma, a double quote or a backslash cannot be the "
            "NAME item\n",
            process.program_name, visible(base, stderr));
    exit(1);
  }
  if (format_text(item, sizeof item, "NAME=%s", base) < 0) {
    fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name,
            visible(base, stderr), sizeof item - 6);
    exit(1);
  }
}

// The inputs, opened and measured before the first byte of the archive is written, so that a
// build with an input it cannot read writes nothing: each one's descriptor (-1 for a FIFO, which
// is opened in its turn, as its writer may wait for the inputs before it to be read), each
// regular file's size as fstat finds it now (-1 for anything else), and their total when every
// size is known.
struct Inputs {
  int *fd = nullptr;       // one per operand
  int64_t *size = nullptr; // one per operand
  uint64_t total = 0;
  bool known = true;
  bool recorded = false; // the total went into the header as the kSizeKey item
};

// Opens the operand `name` for reading, or reports why it cannot be an input: it does not exist,
// cannot be opened, is a directory, or is the output file. Returns the descriptor (-1 for a FIFO,
// left to its turn) with *st describing it; -2 after the message.
static int open_operand(const char *name, struct stat *st) {
  if (stat(name, st) == 0 && S_ISFIFO(st->st_mode))
    return -1;
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && fstat(fd, st) == 0 && S_ISDIR(st->st_mode)) {
    close(fd);
    fd = -1;
    errno = EISDIR; // as reading it would report
  }
  if (fd < 0) {
    report_errno(name);
    return -2;
  }
  if (is_standard_output(fd)) {
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name,
            visible(name, stderr));
    close(fd);
    return -2;
  }
  return fd;
}

// Opens every operand; refuses the build, before anything is written, when one cannot be read.
static Inputs open_inputs(int operands, char **operand) {
  Inputs in;
  in.fd = static_cast<int *>(malloc(sizeof(int) * static_cast<size_t>(operands)));
  in.size = static_cast<int64_t *>(malloc(sizeof(int64_t) * static_cast<size_t>(operands)));
  if (!in.fd || !in.size) {
    // Not report_errno: the program name is escaped already.
    fprintf(stderr, "%s: %s\n", process.program_name, strerror(errno));
    exit(1);
  }
  bool refused = false;
  for (int i = 0; i < operands; ++i) {
    struct stat st;
    in.fd[i] = open_operand(operand[i], &st);
    refused = refused || in.fd[i] == -2;
    bool regular = in.fd[i] >= 0 && S_ISREG(st.st_mode);
    in.size[i] = regular ? st.st_size : -1;
    in.known = in.known && regular;
    in.total += regular ? static_cast<uint64_t>(st.st_size) : 0;
  }
  if (refused)
    exit(1);
  return in;
}

// A compressed payload's size is recorded in decimal bytes, before the "NAME=" item, whenever it
// is known: the space check and the listing of an earlier tool read the last 8 bytes of the file
// as the payload's gzip trailer, which are now the trailer's, and ISIZE holds a size only modulo
// 2^32. A raw payload's size is its length, up to the trailer; an earlier tool, which takes the
// trailer for payload, would find the recorded size a length error.
static void add_size_item(ArchiveHeader &h, Inputs *in, const char *name_item) {
  if (!in->known || feature_get(h, "NOCOMPR") || find_text(name_item, "NOCOMPR"))
    return;
  char item[kItemBufferSize];
  format_text(item, sizeof item, "%s%llu", kSizeKey, static_cast<unsigned long long>(in->total));
  if (feature_add(h, item) < 0)
    exit(1);
  in->recorded = true;
}

// With the size recorded, an input must give exactly the bytes it held when it was measured:
// one that changed, or could not be read (its message is printed), would make the record lie.
static void check_read(const Inputs &in, int i, const char *name, bool opened, uint64_t read) {
  if (!in.recorded || read == static_cast<uint64_t>(in.size[i]))
    return;
  progress_clear();
  if (opened)
    fprintf(stderr, "%s: %s: changed size while the archive was built, which records its size\n",
            process.program_name, visible(name, stderr));
  exit(1);
}

// Copies the current input unchanged, 256 bytes at a time.
static void copy_raw(StreamState &s) {
  char chunk[kItemBufferSize];
  ssize_t n;
  while ((n = read(s.in_fd, chunk, sizeof chunk)) > 0) {
    s.bytes_in += static_cast<uint64_t>(n);
    progress_advance(static_cast<uint64_t>(n));
    write_all(s, chunk, static_cast<size_t>(n));
  }
  if (n < 0) {
    progress_clear();
    report_errno(s.in_name);
    process.exit_status = 1;
  }
}

// The descriptor of input i: opened already, or a FIFO opened now. Returns -1 after the message
// when the FIFO cannot be opened (it fails the build, though the archive of the other inputs is
// still written whole).
static int input_fd(StreamState &s, const Inputs &in, int i, const char *name) {
  copy_text(s.in_name, name);
  if (in.fd[i] >= 0)
    return in.fd[i];
  int fd = open(s.in_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    progress_clear();
    report_errno(s.in_name);
    process.exit_status = 1;
  }
  return fd;
}

// Where standard output stood before the archive, when it is a regular file that can be cut
// back there if the signing fails, so that nothing half-signed is left; -1 otherwise.
static off_t output_start() {
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) < 0 || !S_ISREG(st.st_mode))
    return -1;
  int flags = fcntl(STDOUT_FILENO, F_GETFL);
  return flags >= 0 && (flags & O_APPEND) ? st.st_size : lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

// Ends the archive, whose every byte went into `sha`, with its trailer, signed with `key` when
// given. A failed signing cuts the output back to `start` where it can and fails the build.
static void write_trailer(StreamState &s, Sha256State &sha, const char *key, off_t start) {
  s.out_digest = nullptr;
  static Trailer t; // about 1 KiB: not on the stack of every build
  t.length = sha.length;
  sha256_final(sha, t.digest);
  if (key && sign_trailer(t, key) < 0) {
    if (start >= 0 && ftruncate(STDOUT_FILENO, start) < 0)
      report_errno("stdout");
    exit(1);
  }
  unsigned char bytes[kTrailerLimit];
  write_all(s, bytes, format_trailer(t, bytes));
}

void build_archive(ArchiveHeader &h, const BuildOptions &options, StreamState &s, int operands,
                   char **operand) {
  // Each string was checked to fit a header string.
  copy_text(h.comment, options.comment);
  copy_text(h.run_command, options.run_command);
  copy_text(h.extract_command, options.extract_command);
  s.out_fd = STDOUT_FILENO;
  copy_text(s.out_name, "stdout"); // named in every write error
  catch_write_signals();
  check_operands(operands, operand);
  char name_item[kItemBufferSize];
  format_name_item(name_item, operand[0]);
  Inputs inputs = open_inputs(operands, operand);
  if (feature_add(h, kTrailerItem) < 0)
    exit(1);
  add_size_item(h, &inputs, name_item);
  if (feature_add(h, name_item) < 0)
    exit(1);
  check_items(h);
  if (options.key && check_signing_key(options.key) < 0)
    exit(1);
  off_t start = output_start();
  Sha256State sha;
  sha256_init(sha);
  s.out_digest = &sha;
  if (write_preamble(h, options.preamble_path, s) < 0)
    exit(1);
  // The regular files' bytes: what is known before the build.
  progress_start(options.quiet ? 0 : inputs.total);
  for (int i = 0; i < operands; ++i) {
    uint64_t before = s.bytes_in;
    s.in_fd = input_fd(s, inputs, i, operand[i]);
    if (s.in_fd >= 0) {
      if (feature_get(h, "NOCOMPR"))
        copy_raw(s);
      else
        write_gzip_members(s);
      close(s.in_fd);
    }
    check_read(inputs, i, operand[i], s.in_fd >= 0, s.bytes_in - before);
  }
  progress_end();
  write_trailer(s, sha, options.key, start);
  if (!inputs.recorded && !feature_get(h, "NOCOMPR") && s.bytes_in >= (uint64_t{1} << 32))
    fprintf(stderr,
            "%s: the payload holds 4 GiB or more, but not every input's size was known before it "
            "was read: the archive's space check and listing will see its size modulo 4 GiB\n",
            process.program_name);
  exit(process.exit_status);
}

} // namespace vardo

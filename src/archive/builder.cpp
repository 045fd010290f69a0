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
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_writer.h"
#include "gzstream/progress.h"
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

// Refuses, before anything is written, "VFYFS=" and "FSSUB=" values that the space check would
// refuse: such an archive could never be unpacked.
static void check_items(const ArchiveHeader &h) {
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

// Appends "NAME=" and the base name of the first operand, always as the last item.
static void add_name_item(ArchiveHeader &h, const char *first) {
  const char *base = basename_of(first);
  if (!is_plain_item_value(base)) {
    fprintf(stderr,
            "%s: %s: a file name with a comma, a double quote or a backslash cannot be the "
            "NAME item\n",
            process.program_name, visible(base, stderr));
    exit(1);
  }
  char item[kItemBufferSize];
  if (format_text(item, sizeof item, "NAME=%s", base) < 0) {
    fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name,
            visible(base, stderr), sizeof item - 6);
    exit(1);
  }
  if (feature_add(h, item) < 0)
    exit(1);
}

// What the inputs hold before any is read: each regular file's size as stat finds it now (-1 for
// one that is not a regular file, or cannot be looked at), and their total when every size is
// known.
struct InputSizes {
  int64_t *size = nullptr; // one per operand
  uint64_t total = 0;
  bool known = true;
  bool recorded = false; // the total went into the header as the kSizeKey item
};

static InputSizes measure_inputs(int operands, char **operand) {
  InputSizes sizes;
  sizes.size = static_cast<int64_t *>(malloc(sizeof(int64_t) * static_cast<size_t>(operands)));
  if (!sizes.size) {
    // Not report_errno: the program name is escaped already.
    fprintf(stderr, "%s: %s\n", process.program_name, strerror(errno));
    exit(1);
  }
  for (int i = 0; i < operands; ++i) {
    struct stat st;
    bool regular = stat(operand[i], &st) == 0 && S_ISREG(st.st_mode);
    sizes.size[i] = regular ? st.st_size : -1;
    sizes.known = sizes.known && regular;
    sizes.total += regular ? static_cast<uint64_t>(st.st_size) : 0;
  }
  return sizes;
}

// A payload of 4 GiB or more has its size recorded in decimal bytes, before the "NAME=" item:
// the gzip trailer's ISIZE, which the space check and the listing read, holds it only modulo
// 2^32. A smaller payload gets no item, so that its header is as it always was.
static void add_size_item(ArchiveHeader &h, InputSizes *sizes) {
  if (!sizes->known || sizes->total < (uint64_t{1} << 32))
    return;
  char item[kItemBufferSize];
  format_text(item, sizeof item, "%s%llu", kSizeKey, static_cast<unsigned long long>(sizes->total));
  if (feature_add(h, item) < 0)
    exit(1);
  sizes->recorded = true;
}

// With the size recorded, an input must give exactly the bytes it held when it was measured:
// one that changed, or could not be read (its message is printed), would make the record lie.
static void check_read(const InputSizes &sizes, int i, const char *name, bool opened,
                       uint64_t read) {
  if (!sizes.recorded || read == static_cast<uint64_t>(sizes.size[i]))
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

// Opens the next input, or reports why it is skipped; a skipped input fails the build, though the
// archive of the other inputs is still written whole. Returns the descriptor, or -1.
static int open_input(StreamState &s, const char *name) {
  copy_text(s.in_name, name);
  int fd = open(s.in_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    progress_clear();
    report_errno(s.in_name);
  } else if (is_standard_output(fd)) {
    progress_clear();
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name,
            visible(name, stderr));
    close(fd);
    fd = -1;
  }
  if (fd < 0)
    process.exit_status = 1;
  return fd;
}

void build_archive(ArchiveHeader &h, const BuildOptions &options, StreamState &s, int operands,
                   char **operand) {
  // Each string was checked to fit a header string.
  copy_text(h.comment, options.comment);
  copy_text(h.run_command, options.run_command);
  copy_text(h.extract_command, options.extract_command);
  s.out_fd = STDOUT_FILENO;
  catch_write_signals();
  check_operands(operands, operand);
  InputSizes sizes = measure_inputs(operands, operand);
  add_size_item(h, &sizes);
  add_name_item(h, operand[0]);
  check_items(h);
  if (write_preamble(h, options.preamble_path, s) < 0)
    exit(1);
  progress_start(sizes.total); // the regular files' bytes: what is known before the build
  for (int i = 0; i < operands; ++i) {
    uint64_t before = s.bytes_in;
    s.in_fd = open_input(s, operand[i]);
    if (s.in_fd >= 0) {
      if (feature_get(h, "NOCOMPR"))
        copy_raw(s);
      else
        write_gzip_member(s);
      close(s.in_fd);
    }
    check_read(sizes, i, operand[i], s.in_fd >= 0, s.bytes_in - before);
  }
  progress_end();
  if (!sizes.recorded && s.bytes_in >= (uint64_t{1} << 32))
    fprintf(stderr,
            "%s: the payload holds 4 GiB or more, but not every input's size was known before it "
            "was read: the archive's space check and listing will see its size modulo 4 GiB\n",
            process.program_name);
  exit(process.exit_status);
}

} // namespace vardo

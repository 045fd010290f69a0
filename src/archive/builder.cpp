#include "archive/builder.h"

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

namespace vardo {

// Refuses, before anything is written, operands that do not fit the input name and a first
// operand whose "NAME=" item does not fit the item buffer.
static void check_operands(int operands, char **operand) {
  for (int i = 0; i < operands; ++i) {
    if (strlen(operand[i]) >= kNameSize) {
      fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name,
              operand[i], kNameSize - 1);
      exit(1);
    }
  }
}

// Appends "NAME=" and the base name of the first operand, always as the last item.
static void add_name_item(ArchiveHeader &h, const char *first) {
  const char *base = basename_of(first);
  char item[kItemBufferSize];
  if (format_text(item, sizeof item, "NAME=%s", base) < 0) {
    fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name, base,
            sizeof item - 6);
    exit(1);
  }
  if (feature_add(h, item) < 0)
    exit(1);
}

// Copies the current input unchanged, 256 bytes at a time.
static void copy_raw(const StreamState &s) {
  char chunk[kItemBufferSize];
  ssize_t n;
  while ((n = read(s.in_fd, chunk, sizeof chunk)) > 0) {
    progress_advance(static_cast<uint64_t>(n));
    write_all(s, chunk, static_cast<size_t>(n));
  }
  if (n < 0) {
    progress_clear();
    perror(s.in_name);
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
    perror(s.in_name);
  } else if (is_standard_output(fd)) {
    progress_clear();
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name, name);
    close(fd);
    fd = -1;
  }
  if (fd < 0)
    process.exit_status = 1;
  return fd;
}

// The bytes of the operands that are regular files: what the build is to read, as far as it is
// known before it starts.
static uint64_t regular_input_bytes(int operands, char **operand) {
  uint64_t total = 0;
  struct stat st;
  for (int i = 0; i < operands; ++i)
    if (stat(operand[i], &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<uint64_t>(st.st_size);
  return total;
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
  add_name_item(h, operand[0]);
  if (write_preamble(h, options.preamble_path, s) < 0)
    exit(1);
  progress_start(regular_input_bytes(operands, operand));
  for (int i = 0; i < operands; ++i) {
    s.in_fd = open_input(s, operand[i]);
    if (s.in_fd < 0)
      continue;
    if (feature_get(h, "NOCOMPR"))
      copy_raw(s);
    else
      write_gzip_member(s);
    close(s.in_fd);
  }
  progress_end();
  exit(process.exit_status);
}

} // namespace vardo

#include "archive/builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_writer.h"
#include "gzstream/stream.h"
#include "lib/basename.h"
#include "lib/text.h"

namespace vardo {

ArchiveBuild archive_build;

// Refuses, before anything is written, operands that do not fit the input name and a first
// operand whose "NAME=" item does not fit the item buffer.
static void check_operands(int operands, char **operand) {
  for (int i = 0; i < operands; ++i) {
    if (strlen(operand[i]) >= sizeof stream.in_name) {
      fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name,
              operand[i], sizeof stream.in_name - 1);
      exit(1);
    }
  }
}

// Appends "NAME=" and the base name of the first operand, always as the last item.
static void add_name_item(const char *first) {
  const char *base = basename_of(first);
  if (!is_plain_item_value(base)) {
    fprintf(stderr,
            "%s: %s: a file name with a comma, a double quote or a backslash cannot be the "
            "NAME item\n",
            process.program_name, base);
    exit(1);
  }
  if (format_text(archive_build.item, sizeof archive_build.item, "NAME=%s", base) < 0) {
    fprintf(stderr, "%s: %s: file name longer than %zu characters\n", process.program_name, base,
            sizeof archive_build.item - 6);
    exit(1);
  }
  if (feature_add(archive_build.item) < 0)
    exit(1);
}

// Copies the current input unchanged, 256 bytes at a time through the item buffer.
static void copy_raw() {
  ssize_t n;
  while ((n = read(stream.in_fd, archive_build.item, sizeof archive_build.item)) > 0)
    write_all(stream.out_fd, archive_build.item, static_cast<size_t>(n));
  if (n < 0) {
    perror(stream.in_name);
    process.exit_status = 1;
  }
}

// Opens the next input, or reports why it is skipped; a skipped input fails the build, though the
// archive of the other inputs is still written whole. Returns the descriptor, or -1.
static int open_input(const char *name) {
  copy_text(stream.in_name, name);
  int fd = open(stream.in_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(stream.in_name);
  } else if (is_standard_output(fd)) {
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name, name);
    close(fd);
    fd = -1;
  }
  if (fd < 0)
    process.exit_status = 1;
  return fd;
}

void build_archive(const BuildHeader &header, int operands, char **operand) {
  // Each string was checked to fit a header string.
  copy_text(archive_header.comment, header.comment);
  copy_text(archive_header.run_command, header.run_command);
  copy_text(archive_header.extract_command, header.extract_command);
  stream.out_fd = STDOUT_FILENO;
  catch_write_signals();
  check_operands(operands, operand);
  add_name_item(operand[0]);
  if (write_preamble(archive_build.preamble_path, stream.out_fd) < 0)
    exit(1);
  for (int i = 0; i < operands; ++i) {
    stream.in_fd = open_input(operand[i]);
    if (stream.in_fd < 0)
      continue;
    if (feature_get("NOCOMPR"))
      copy_raw();
    else
      write_gzip_member(stream.in_fd, stream.out_fd);
    close(stream.in_fd);
  }
  exit(process.exit_status);
}

} // namespace vardo

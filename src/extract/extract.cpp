#include "extract/extract.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "extract/command.h"
#include "extract/output.h"
#include "extract/space.h"
#include "extract/temporary.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_reader.h"
#include "gzstream/progress.h"
#include "gzstream/stream.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

ExtractOptions extract_options;

// Copies the raw payload to the output, 512 bytes at a time. Returns 1 when it was empty.
static int copy_raw_payload(int fd) {
  char buf[512];
  bool any = false;
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    any = true;
    progress_advance(static_cast<uint64_t>(n));
    write_all(stream.out_fd, buf, static_cast<size_t>(n));
  }
  if (n < 0)
    read_error_exit();
  if (!any)
    fprintf(stderr, "%s: %s: the payload is empty\n", process.program_name, stream.in_name);
  return any ? 0 : 1;
}

// Reads the gzip header, or takes the output name of a raw payload from its "NAME=" item.
// Returns the method: 8, -1 for an unusable header, 0 for a raw payload.
static int read_payload_kind() {
  if (!feature_get("NOCOMPR"))
    return read_gzip_header();
  if (const char *name = feature_get("NAME="))
    copy_text(stream.out_name, feature_value(name));
  return 0;
}

// Asks the space verification for the uncompressed size in whole megabytes, plus one: ISIZE
// from the gzip trailer (the running total of every member), or the length of a raw payload.
// The read position is restored afterwards. Returns -1 when the verification refuses.
static int check_space(int fd, int method) {
  off_t pos = lseek(fd, 0, SEEK_CUR);
  if (pos < 0)
    return 0;
  uint32_t size;
  if (method == 0) {
    off_t end = lseek(fd, 0, SEEK_END);
    size = static_cast<uint32_t>(std::min<off_t>(end - archive_header.payload_offset, UINT32_MAX));
  } else {
    uint32_t crc;
    read_final_trailer(fd, &crc, &size);
  }
  int required_mb = static_cast<int>(size / 1048576u + 1);
  if (verify_extract_space(required_mb, extract_options) < 0)
    return -1;
  lseek(fd, pos, SEEK_SET);
  return 0;
}

// The bytes from the payload offset to the end of the archive file; 0 where the archive is a pipe.
static uint64_t payload_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_size < archive_header.payload_offset)
    return 0;
  return static_cast<uint64_t>(st.st_size - archive_header.payload_offset);
}

// The extract command while the payload is written into it.
struct ExtractCommand {
  FILE *pipe = nullptr;
  char *cmd = nullptr; // as expanded; named in the failure message
};
static ExtractCommand extract_command;

// Closes the extract command's pipe and waits for the command. A command that ended with another
// status than 0, or that stopped reading before the whole payload was written into it, leaves
// files missing: never report that as success. Returns 0, or -1 after the message.
static int finish_extract_command(bool write_failed) {
  int status = pclose(extract_command.pipe);
  if (status != 0 || write_failed)
    fprintf(stderr, "%s: the extract command failed: %s\n", process.program_name,
            visible(extract_command.cmd, stderr));
  free(extract_command.cmd);
  extract_command = ExtractCommand{};
  return status != 0 || write_failed ? -1 : 0;
}

// On the abort path (a failed write into the pipe, a corrupt or cut payload) the command is
// still waited for and reported.
static void finish_extract_command_on_abort(bool write_failed) {
  finish_extract_command(write_failed);
}

// Expands and starts the extract command given with the archive, its pipe as the output.
// Returns 0, or -1 after a message.
static int start_extract_command() {
  char *cmd = expand_template(archive_header.extract_command);
  if (!cmd)
    return -1;
  fflush(nullptr);
  FILE *pipe = popen(cmd, "we");
  if (!pipe) {
    perror(cmd);
    free(cmd);
    return -1;
  }
  extract_command = ExtractCommand{pipe, cmd};
  abort_cleanup = finish_extract_command_on_abort;
  stream.out_fd = fileno(pipe);
  return 0;
}

// On the abort path the default extraction's temporary file goes.
static void discard_default_output_on_abort(bool) { discard_default_output(); }

// Opens where the payload goes: the extract command, or without one the default extraction,
// which writes the file itself. Standard output with -x. Returns 0, or -1 after a message.
static int open_output() {
  if (extract_options.extract_only)
    return 0;
  if (archive_header.extract_command[0])
    return start_extract_command();
  if (open_default_output() < 0)
    return -1;
  abort_cleanup = discard_default_output_on_abort;
  return 0;
}

// Ends the output after a copy that returned `status`: the extract command is waited for, and
// the default extraction's file takes the output name only after a whole payload. Returns the
// status, or -1 when the output failed.
static int close_output(int status) {
  if (extract_options.extract_only)
    return status;
  abort_cleanup = nullptr;
  if (extract_command.pipe)
    return finish_extract_command(false) < 0 ? -1 : status;
  if (status != 0) {
    discard_default_output();
    return status;
  }
  return finish_default_output();
}

// Unpacks the payload into the extract command, the default extraction's file, or standard
// output with -x. Returns the copy status: 0, or 1 for an empty raw payload; -1 when the output
// could not be opened or failed.
static int unpack_payload(int fd, int method) {
  if (open_output() < 0)
    return -1;
  if (archive_header.comment[0])
    fprintf(stderr, "\n%s\n\nPlease wait...\n", visible(archive_header.comment, stderr));
  if (process.verbose || extract_options.extract_only)
    fprintf(stderr, "Deflating %s...\n", visible(stream.out_name, stderr));
  progress_start(payload_size(fd));
  int status = method == 0 ? copy_raw_payload(fd) : inflate_payload(fd, stream.out_fd);
  progress_end();
  return close_output(status);
}

// The commands this run will start are expanded before anything is made or started, so that a
// value that would not be data refuses the run before the extract command has run, a link
// stands or a file is written; and an archive whose feature items would put other names into the
// run command's environment than the listing shows is refused then too. Returns -1 after the
// message.
static int check_commands() {
  bool runs = archive_header.run_command[0] && !extract_options.no_run;
  if (runs) {
    if (const char *item = feature_hidden_name()) {
      fprintf(stderr, "%s: a feature item's name holds a double quote or a backslash: %.*s\n",
              process.program_name, static_cast<int>(strcspn(item, ",")), visible(item, stderr));
      return -1;
    }
  }
  const char *run = runs ? archive_header.run_command : "";
  for (const char *tmpl : {static_cast<const char *>(archive_header.extract_command), run}) {
    if (!tmpl[0])
      continue;
    char *cmd = expand_template(tmpl);
    if (!cmd)
      return -1;
    free(cmd);
  }
  return 0;
}

// Extracts the archive open on `fd`: its streams named, the payload's kind read, the space checked,
// the payload unpacked and the run command run. Returns 0, or what failed first; the caller
// closes the archive and removes the temporary link.
static int extract_open_archive(int fd, const char *path) {
  if (extract_options.extract_only && is_standard_output(fd)) {
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name, path);
    return -1;
  }
  catch_write_signals();
  stream.in_fd = fd;
  if (name_archive_streams(path) < 0)
    return -1;
  int method = read_payload_kind();
  // The default extraction writes only into the current directory: a stored name that leads
  // elsewhere is refused before anything is made.
  if (!extract_options.extract_only && !archive_header.extract_command[0] &&
      check_default_output_name() < 0)
    return -1;
  if (!extract_options.extract_only && check_commands() < 0)
    return -1;
  if (!extract_options.extract_only && feature_get("VFYFS=") && check_space(fd, method) < 0)
    return -1; // refused: its messages are printed
  if (method == -1) {
    fprintf(stderr, "%s: unknown compression method\n", path);
    return -1;
  }
  int status = unpack_payload(fd, method);
  if (status == 0 && !extract_options.extract_only && !extract_options.no_run &&
      archive_header.run_command[0])
    status = run_post_command(path);
  return status;
}

int extract_archive(int fd, const char *path) {
  int status = extract_open_archive(fd, path);
  close(fd);
  remove_temporary_link();
  return status;
}

} // namespace vardo

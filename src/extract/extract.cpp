#include "extract/extract.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "driver/settings.h"
#include "extract/command.h"
#include "extract/space.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_reader.h"
#include "gzstream/stream.h"
#include "lib/text.h"

namespace vardo {

// Copies the raw payload to the output, 512 bytes at a time. Returns 1 when it was empty.
static int copy_raw_payload(int fd) {
  char buf[512];
  bool any = false;
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    any = true;
    write_all(stream.out_fd, buf, static_cast<size_t>(n));
  }
  if (n < 0)
    read_error_exit();
  if (!any)
    fprintf(stderr, "%s: %s: the payload is empty\n", settings.program_name, stream.in_name);
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
static int check_space(int fd, int method, char *link_path) {
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
  if (verify_extract_space(required_mb, link_path) < 0)
    return -1;
  lseek(fd, pos, SEEK_SET);
  return 0;
}

// Runs the payload through the extract command (or to standard output with -x). Returns the
// copy status: 0, or 1 for an empty raw payload; -1 when the extract command could not be
// started or failed.
static int unpack_payload(int fd, int method) {
  FILE *pipe = nullptr;
  char *cmd = nullptr;
  if (!settings.extract_only) {
    if (!archive_header.extract_command[0])
      strcpy(archive_header.extract_command, kDefaultExtractCommand);
    cmd = expand_template(archive_header.extract_command);
    if (!cmd)
      return -1;
    fflush(nullptr);
    pipe = popen(cmd, "w");
    if (!pipe) {
      perror(cmd);
      free(cmd);
      return -1;
    }
    stream.out_fd = fileno(pipe);
  }
  if (archive_header.comment[0])
    fprintf(stderr, "\n%s\n\nPlease wait...\n", archive_header.comment);
  if (settings.verbose || settings.extract_only)
    fprintf(stderr, "Deflating %s...\n", stream.out_name);
  int status = method == 0 ? copy_raw_payload(fd) : inflate_payload(fd, stream.out_fd);
  if (pipe) {
    // A failed extract command means files are missing: never report that as success.
    if (pclose(pipe) != 0) {
      fprintf(stderr, "%s: the extract command failed: %s\n", settings.program_name, cmd);
      status = -1;
    }
    free(cmd);
  }
  return status;
}

int extract_archive(const char *path) {
  char link_path[kLinkPathSize] = "";
  int fd = open_archive(path);
  if (fd < 0) {
    fprintf(stderr, "%s: unable to find preamble magic value\n", path);
    return -1;
  }
  catch_sigpipe();
  stream.in_fd = fd;
  int status = name_archive_streams(path);
  int method = status == 0 ? read_payload_kind() : 0;
  if (status == 0 && !settings.extract_only && feature_get("VFYFS=") &&
      check_space(fd, method, link_path) < 0)
    return -1; // refused: its messages are printed
  if (status == 0 && method == -1) {
    fprintf(stderr, "%s: unknown compression method\n", path);
    status = -1;
  }
  if (status == 0)
    status = unpack_payload(fd, method);
  if (status == 0 && !settings.extract_only && !settings.no_run && archive_header.run_command[0])
    status = run_post_command(path);
  close(fd);
  remove_temporary_link();
  return status;
}

} // namespace vardo

#include "extract/extract.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "extract/command.h"
#include "extract/interrupt.h"
#include "extract/output.h"
#include "extract/place.h"
#include "extract/space.h"
#include "extract/temporary.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_reader.h"
#include "gzstream/progress.h"
#include "lib/platform.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// One extraction: what it reads, how it was asked for, and the stream it goes through.
struct Extraction {
  const ArchiveHeader &header;
  const ExtractOptions &options;
  StreamState &stream;
  Integrity &integrity;
  const char *path; // the archive as named on the command line
  // The payload's uncompressed size as the header records it, when it is 4 GiB or more.
  bool sized = false;
  uint64_t size = 0;
};

// The payload's kind, as the feature string and the gzip header tell it.
enum class Payload { gzip, raw };

// The bytes from the payload offset to the trailer, or to the end of the archive file without
// one; 0 where the archive is a pipe.
static uint64_t payload_size(const Extraction &x) {
  struct stat st;
  if (fstat(x.stream.in_fd, &st) < 0 || !S_ISREG(st.st_mode) ||
      st.st_size < x.header.payload_offset)
    return 0;
  uint64_t end = x.integrity.trailer ? x.integrity.found.length : static_cast<uint64_t>(st.st_size);
  return end - static_cast<uint64_t>(x.header.payload_offset);
}

// Copies the raw payload to the output, 512 bytes at a time: up to the trailer of a file, or
// through the tap, which keeps the trailer back, when the digest is taken as it streams. Returns
// 0, or -1 after a message when it was empty.
static int copy_raw_payload(const Extraction &x) {
  char buf[512];
  bool tapped = x.integrity.streamed;
  bool limited = x.integrity.trailer && !tapped;
  uint64_t left = limited ? payload_size(x) : UINT64_MAX;
  if (tapped) {
    tap_pass_held(x.integrity.tap);
    x.integrity.tap.release = &x.stream;
  }
  ssize_t n = 0;
  while (left && (n = read(x.stream.in_fd, buf, left < sizeof buf ? left : sizeof buf)) > 0) {
    left -= limited ? static_cast<uint64_t>(n) : 0;
    progress_advance(static_cast<uint64_t>(n));
    if (tapped) {
      tap_feed(x.integrity.tap, buf, static_cast<size_t>(n));
    } else {
      write_all(x.stream, buf, static_cast<size_t>(n));
      x.stream.bytes_out += static_cast<uint64_t>(n);
    }
  }
  if (n < 0)
    read_error_exit(x.stream);
  if (tapped && finish_streamed_digest(x.integrity, x.stream) < 0)
    abort_exit();
  bool any = x.stream.bytes_out > 0;
  if (!any)
    fprintf(stderr, "%s: %s: the payload is empty\n", process.program_name,
            visible(x.stream.in_name, stderr));
  return any ? 0 : -1;
}

// Reads the gzip header into `first`, its stored name becoming the output name unless -c is
// given, or takes the output name of a raw payload from its "NAME=" item. Returns 0 with the kind
// in *kind, or -1 for a gzip header that is refused (after its message).
static int read_payload_kind(const Extraction &x, Payload *kind, GzipMember *first) {
  if (feature_get(x.header, "NOCOMPR")) {
    *kind = Payload::raw;
    if (const char *name = feature_get(x.header, "NAME="))
      copy_text(x.stream.out_name, feature_value(name));
    return 0;
  }
  *kind = Payload::gzip;
  first->name = x.options.to_stdout ? nullptr : x.stream.out_name;
  return read_gzip_header(x.stream, first, x.options.verbose) < 0 ? -1 : 0;
}

// The payload's uncompressed size: the size the header records, else what the gzip members say
// (gzip_reader.h), or the length of a raw payload. False where there is no record and the archive
// is a pipe, which has no end to look at.
static bool uncompressed_size(const Extraction &x, Payload kind, uint64_t *size) {
  struct stat st;
  if (x.sized)
    *size = x.size;
  else if (fstat(x.stream.in_fd, &st) < 0 || !S_ISREG(st.st_mode))
    return false;
  else
    *size = kind == Payload::raw
                ? payload_size(x)
                : payload_uncompressed_size(x.stream, x.header.payload_offset,
                                            x.header.payload_offset + payload_size(x));
  return true;
}

// Asks the space verification of the archive's "VFYFS=" item for the uncompressed size in whole
// megabytes, plus one. Without a size the check cannot be made, and the extraction must not go
// ahead without it. Returns -1 when the verification refuses.
static int check_space(const Extraction &x, Payload kind) {
  uint64_t size;
  if (!uncompressed_size(x, kind, &size)) {
    fprintf(stderr, "%s: %s: cannot check space on a pipe\n", process.program_name,
            visible(x.path, stderr));
    return -1;
  }
  uint64_t mb = size / 1048576u + 1;
  int required_mb = mb > INT_MAX ? INT_MAX : static_cast<int>(mb);
  char relocated[kLinkPathSize], work_dir[kLinkPathSize];
  int result = verify_extract_space(x.header, x.options, required_mb, relocated, work_dir);
  placement_relocated(relocated, work_dir);
  return result;
}

// The check every unpacking makes, unless -s turns it off: the filesystem of the directory it
// unpacks into must have room for the uncompressed payload. A pipe without a recorded size, or a
// filesystem that cannot be queried, gives nothing to go by. Returns -1 after the message.
static int check_room(const Extraction &x, Payload kind) {
  uint64_t size;
  FsStats fs;
  if (!uncompressed_size(x, kind, &size) || platform_fs_stats(".", &fs) < 0)
    return 0;
  uint64_t room = static_cast<uint64_t>(fs.available) * fs.fragment_size;
  if (size <= room)
    return 0;
  char dir[kTextBufferSize];
  fprintf(stderr,
          "%s: %s: not enough room: unpacking needs %llu MiB, and its filesystem has %llu MiB "
          "free (-s unpacks all the same)\n",
          process.program_name, getcwd(dir, sizeof dir) ? visible(dir, stderr) : ".",
          static_cast<unsigned long long>((size + 1048575) / 1048576),
          static_cast<unsigned long long>(room / 1048576));
  return -1;
}

// The commands of this run, expanded once before anything is unpacked, with their environments:
// what was checked is what runs, whatever is renamed in the directory meanwhile. Each is used
// only where `extract` or `run` says it runs.
struct ExpandedCommands {
  bool extract = false;
  bool run = false;
  ExpandedCommand extract_command;
  ExpandedCommand run_command;
  CommandEnvironment extract_env;
  CommandEnvironment run_env;
  void **feature_entries = nullptr; // the run command's items, until it has started
};
static ExpandedCommands expanded;

// The extract command while the payload is written into it.
struct ExtractCommand {
  pid_t pid = 0;
  int pipe = -1; // the write end of its standard input
};
static ExtractCommand extract_command;

// Closes the extract command's pipe and waits for the command. A command that ended with another
// status than 0, or that stopped reading before the whole payload was written into it, leaves
// files missing: never report that as success. Returns 0, or -1 after the message.
static int finish_extract_command(bool write_failed) {
  int status = finish_command(extract_command.pid, extract_command.pipe);
  if (status != 0 || write_failed)
    fprintf(stderr, "%s: the extract command failed: %s\n", process.program_name,
            visible(expanded.extract_command.shown, stderr));
  extract_command = ExtractCommand{};
  return status != 0 || write_failed ? -1 : 0;
}

// On the abort path (a failed write into the pipe, a corrupt or cut payload) the command is
// still waited for and reported.
static void finish_extract_command_on_abort(bool write_failed) {
  finish_extract_command(write_failed);
}

// Starts the extract command, its pipe as the output. Returns 0, or -1 after a message.
static int start_extract_command(const Extraction &x) {
  fflush(nullptr);
  int pipe;
  pid_t pid = start_command(expanded.extract_command.text,
                            ShellCall{environment_array(expanded.extract_env.env)}, &pipe);
  if (pid < 0) {
    report_errno(expanded.extract_command.shown);
    return -1;
  }
  extract_command = ExtractCommand{pid, pipe};
  on_abort(finish_extract_command_on_abort);
  x.stream.out_fd = pipe;
  return 0;
}

// On the abort path the default extraction's temporary file goes.
static void discard_default_output_on_abort(bool) { discard_default_output(); }

// Opens where the payload goes: the extract command, or without one the default extraction,
// which writes the file itself. Standard output with -x. Returns 0, or -1 after a message.
static int open_output(const Extraction &x) {
  if (x.options.extract_only)
    return 0;
  if (x.header.extract_command[0]) {
    if (start_extract_command(x) < 0)
      return -1;
  } else {
    int fd = open_default_output(x.stream.out_name);
    if (fd < 0)
      return -1;
    on_abort(discard_default_output_on_abort);
    x.stream.out_fd = fd;
  }
  return 0;
}

// Ends the output after a copy that returned `status`: the extract command is waited for, and
// the default extraction's file takes the output name only after a whole payload. Returns the
// status, or -1 when the output failed.
static int close_output(const Extraction &x, int status) {
  if (x.options.extract_only)
    return status;
  x.stream.out_fd = STDOUT_FILENO;
  if (extract_command.pid) {
    cancel_on_abort(finish_extract_command_on_abort);
    return finish_extract_command(false) < 0 ? -1 : status;
  }
  cancel_on_abort(discard_default_output_on_abort);
  if (status != 0) {
    discard_default_output();
    return status;
  }
  return finish_default_output(x.stream.out_name);
}

// Unpacks the payload into the extract command, the default extraction's file, or standard
// output with -x. Returns 0, or -1 when the payload was empty or the output could not be opened
// or failed.
static int unpack_payload(const Extraction &x, Payload kind, const GzipMember &first) {
  if (open_output(x) < 0)
    return -1;
  const ExtractOptions &o = x.options;
  // A verified run names the comment, so that no comment reads as a line of its own.
  if (x.header.comment[0] && !o.quiet)
    fprintf(stderr, o.keys ? "\nComment: %s\n\nPlease wait...\n" : "\n%s\n\nPlease wait...\n",
            visible(x.header.comment, stderr));
  if ((o.verbose || o.extract_only) && !o.quiet)
    fprintf(stderr, "Deflating %s...\n", visible(x.stream.out_name, stderr));
  progress_start(o.quiet ? 0 : payload_size(x));
  int status = 0;
  if (kind == Payload::raw) {
    status = copy_raw_payload(x);
  } else {
    inflate_payload(x.stream, first, x.options.verbose);
    // Whatever the command made of the payload, the run command does not run after one that
    // does not match its digest.
    if (x.integrity.streamed && finish_streamed_digest(x.integrity, x.stream) < 0)
      abort_exit();
  }
  // The members' ISIZE fields check their lengths modulo 2^32 only.
  if (x.sized && x.stream.bytes_out != x.size)
    fatal_error(x.stream, "invalid compressed data--length error");
  progress_end();
  return close_output(x, status);
}

// Refuses, after the message, an archive whose feature items the run command may not be given.
// Returns -1 then, or when memory runs out.
static int split_feature_items(const Extraction &x) {
  expanded.feature_entries = feature_entries(x.header);
  if (!expanded.feature_entries) {
    fprintf(stderr, "%s: %s\n", process.program_name, strerror(ENOMEM));
    return -1;
  }
  return feature_check_entries(expanded.feature_entries);
}

// Expands the commands this run will start, and makes their environments, before anything is
// made or started, so that a value that would not be data refuses the run before the extract
// command has run, a link stands or a file is written; and refuses then too an archive whose
// feature items the run command may not be given. Returns -1 after the message.
static int expand_commands(const Extraction &x) {
  char dir[kCommandSize];
  if (!getcwd(dir, sizeof dir)) {
    if (errno == ERANGE)
      fprintf(stderr, "%s: the path of the current directory is longer than %d characters\n",
              process.program_name, kCommandSize - 1);
    else
      report_errno("getcwd");
    return -1;
  }
  TemplateValues values{x.stream.out_name, dir};
  expanded.extract = x.header.extract_command[0];
  expanded.run = x.header.run_command[0] && !x.options.no_run;
  if (expanded.run && split_feature_items(x) < 0)
    return -1;
  if (expanded.extract &&
      (expand_template(x.header.extract_command, values, &expanded.extract_command) < 0 ||
       command_environment(&expanded.extract_env, values, nullptr) < 0))
    return -1;
  TemplateValues run_values{x.stream.out_name, dir, x.path, x.options.args};
  if (expanded.run &&
      (expand_template(x.header.run_command, run_values, &expanded.run_command) < 0 ||
       command_environment(&expanded.run_env, values,
                           reinterpret_cast<char *const *>(expanded.feature_entries)) < 0))
    return -1;
  return 0;
}

// Enters the directory the run works in: the target (-d), and a private temporary directory (-T,
// or the archive's VARDO_TEMP item) below it or $TMPDIR; or checks the current one. Returns -1
// after the message.
static int enter_placement(const Extraction &x) {
  const ExtractOptions &o = x.options;
  bool commands = x.header.extract_command[0] || (x.header.run_command[0] && !o.no_run);
  if ((commands && check_own_group() < 0) || (o.target_dir[0] && enter_target(o.target_dir) < 0))
    return -1;
  if (o.temporary || feature_get(x.header, "VARDO_TEMP"))
    return enter_temporary(o.target_dir[0] ? placement_path() : nullptr, o.keep);
  return o.target_dir[0] || !commands ? 0 : check_current_directory();
}

// On the abort path (a corrupt payload, a failed write) the placement is left too.
static void leave_placement_on_abort(bool) { leave_placement(false); }

// Extracts the archive: its streams named, the payload's kind read, the space checked, the
// payload unpacked and the run command run. Returns 0, or -1 when something failed; the caller
// closes the archive and removes the temporary link.
static int extract_open_archive(Extraction &x) {
  const ExtractOptions &o = x.options;
  if (o.extract_only && is_standard_output(x.stream.in_fd)) {
    fprintf(stderr, "%s: %s: input file is output file\n", process.program_name,
            visible(x.path, stderr));
    return -1;
  }
  catch_write_signals();
  catch_ending_signals();
  Signer who;
  if (name_archive_streams(x.stream, x.path) < 0 ||
      check_before_use(x.header, o, x.stream, x.integrity, x.stream.in_fd, &who) < 0)
    return -1;
  int sized = feature_size(x.header, &x.size);
  if (sized < 0)
    return -1;
  x.sized = sized == 1;
  if (o.keys && !o.quiet)
    fprintf(stderr, "%s: %s: signed by %s%s%s, verified\n", process.program_name,
            visible(x.path, stderr), who.fingerprint, who.principals[0] ? " as " : "",
            visible(who.principals, stderr));
  Payload kind;
  GzipMember first;
  int header = read_payload_kind(x, &kind, &first);
  // The default extraction writes only into the current directory: a stored name that leads
  // elsewhere is refused before anything is made.
  if (!o.extract_only && !x.header.extract_command[0] &&
      check_default_output_name(x.stream.out_name) < 0)
    return -1;
  if (!o.extract_only && (enter_placement(x) < 0 || expand_commands(x) < 0))
    return -1;
  // An archive's own space check, or the one every unpacking makes.
  bool verifies = feature_get(x.header, "VFYFS=") != nullptr;
  if (!o.extract_only && verifies && check_space(x, kind) < 0)
    return -1; // refused: its messages are printed
  if (!o.extract_only && !verifies && !o.no_space_check && check_room(x, kind) < 0)
    return -1;
  if (header < 0) {
    fprintf(stderr, "%s: unknown compression method\n", visible(x.path, stderr));
    return -1;
  }
  // What another user may change after the extract command is not reported as unpacked.
  bool commands = !o.extract_only && (expanded.run || x.header.extract_command[0]);
  if (commands)
    mark_before_extraction();
  if (unpack_payload(x, kind, first) < 0)
    return -1;
  if (commands && check_placement_after_extraction(
                      expanded.run ? "the run command is not run"
                                   : "what was unpacked may have been changed") < 0)
    return -1;
  if (!expanded.run)
    return 0;
  return run_post_command(expanded.run_command,
                          ShellCall{environment_array(expanded.run_env.env), x.path, o.args},
                          x.path, x.stream.out_name, o.verbose);
}

int check_before_use(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                     Integrity &g, int fd, Signer *who) {
  if (check_archive(g, h, fd, s.in_name, !options.no_digest || options.keys) < 0 ||
      (options.keys && verify_signature(g.found, options.keys, s.in_name, who) < 0))
    return -1;
  s.tap = g.streamed ? &g.tap : nullptr;
  return 0;
}

int extract_archive(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                    Integrity &g, int fd, const char *path) {
  s.in_fd = fd;
  Extraction x{h, options, s, g, path};
  on_abort(leave_placement_on_abort);
  int status = extract_open_archive(x);
  cancel_on_abort(leave_placement_on_abort);
  close(fd);
  remove_temporary_link();
  // What could not be removed is named, and the run did not end as it should.
  if (leave_placement(status == 0) < 0)
    status = -1;
  return status;
}

} // namespace vardo

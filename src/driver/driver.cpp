#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "archive/builder.h"
#include "archive/feature.h"
#include "archive/header.h"
#include "archive/integrity.h"
#include "driver/inherited.h"
#include "driver/options.h"
#include "driver/usage.h"
#include "extract/command.h"
#include "extract/extract.h"
#include "extract/listing.h"
#include "gzstream/stream.h"
#include "lib/platform.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

static const char kDefaultComment[] = "Self-Extracting archive file";

// The run's state, one of each: the command line as parsed, the archive's header (read by the mode
// probe, or built from the options) and the stream the payload goes through. The driver holds
// them and hands each layer the part it needs.
struct Run {
  Options options;
  ArchiveHeader header;
  StreamState stream;
  // The running program's own file when it is an archive: open at its payload, its header read
  // by the mode probe, once per run. -1 otherwise.
  int own_archive = -1;
  const char *own_name = nullptr; // argv[0] as given: the own archive's name in its messages
  Integrity integrity;            // the checks of the archive being read
};

static Run run;

[[noreturn]] static void usage_exit() {
  print_usage(run.options.archive_mode,
              run.options.comment ? run.options.comment : run.header.comment);
  exit(1);
}

// Returns an option argument that fits a buffer of `size` bytes, or refuses it.
static const char *fitting_argument(int option, const char *arg, size_t size) {
  if (strlen(arg) >= size) {
    fprintf(stderr, "%s: the argument of -%c is longer than %zu characters\n", process.program_name,
            option, size - 1);
    exit(1);
  }
  return arg;
}

// Copies an option argument into one of the 1024-byte text buffers, or refuses it.
static void store_argument(char *dst, size_t size, int option, const char *arg) {
  strcpy(dst, fitting_argument(option, arg, size));
}

// Appends a feature item, formatted as prefix and argument in a 256-byte item buffer.
static void add_feature_item(int option, const char *prefix, const char *arg) {
  const char *item = arg;
  char formatted[kItemBufferSize];
  if (prefix) {
    // The value must reach the run command as it stands, one item with its own key.
    if (!is_plain_item_value(arg)) {
      fprintf(stderr,
              "%s: the argument of -%c holds a comma, a double quote or a backslash, which a "
              "feature item cannot carry\n",
              process.program_name, option);
      exit(1);
    }
    if (format_text(formatted, sizeof formatted, "%s%s", prefix, arg) < 0) {
      fprintf(stderr, "%s: the argument of -%c is longer than %zu characters\n",
              process.program_name, option, sizeof formatted - 1 - strlen(prefix));
      exit(1);
    }
    item = formatted;
  } else if (!ends_its_items(item)) {
    fprintf(stderr,
            "%s: the argument of -%c ends inside a double quote or with a backslash, which would "
            "join the next item to it\n",
            process.program_name, option);
    exit(1);
  }
  if (feature_add(run.header, item) < 0)
    exit(1);
}

// The options that add a feature item to the archive being built, and are ignored by an archive,
// each as its letter, then "=" and the prefix put before the argument, or " " and the whole item
// of an option without one (none: the argument is the item).
static const char kFeatureOptions[] = "a NOCOMPR\0V=VFYFS=\0S=FSSUB=\0O=QK_VENDOR=\0F \0";

static const char *feature_option(int c) {
  for (const char *f = kFeatureOptions; *f; f += strlen(f) + 1)
    if (*f == c)
      return f;
  return nullptr;
}

// Mode probe: the running file is an archive when it carries the magic; it stays open at its
// payload, its header read, for the extraction or listing of this run. A program that may be
// run but not read (mode 0111) can neither find its payload nor copy itself: it says so and
// stops instead of taking itself for the plain tool.
static void probe_mode() {
  const char *self;
  int fd = open_own_file(&self);
  if (self && fd < 0) {
    fprintf(stderr, "%s: cannot read the program's own file: %s\n", process.program_name,
            strerror(errno));
    exit(1);
  }
  if (fd < 0)
    return;
  if (read_archive_header(run.header, fd, self, nullptr) < 0) {
    close(fd);
    return;
  }
  run.options.archive_mode = true;
  run.own_archive = fd;
}

// Each option takes effect when it is met, so the mode at that moment decides whether a
// mode-bound option counts, and an earlier -u already does. Returns whether getopt ended the
// options at a "--" of their own.
static bool parse_options(int argc, char **argv) {
  // "+" keeps GNU getopt from permuting: parsing ends at the first operand. ":" turns off the
  // library's own diagnostics, whose wording differs between C libraries: the two below are
  // printed instead.
  static const char kOptions[] = "+:h?ucvxnlap:C:r:f:V:S:t:O:F:d:TkqsiK:";
  Options &o = run.options;
  int c, before = optind;
  while ((c = getopt(argc, argv, kOptions)) != -1) {
    before = optind;
    if (const char *f = feature_option(c)) {
      if (!o.archive_mode)
        add_feature_item(c, f[1] == '=' ? f + 2 : nullptr, f[1] == '=' || !f[2] ? optarg : f + 2);
      continue;
    }
    switch (c) {
    case 'u':
      o.archive_mode = true;
      o.use_operand = true;
      break;
    case 'c':
      o.extract.to_stdout = true;
      break;
    case 'x':
      o.extract.extract_only = true;
      break;
    case 'n':
      o.extract.no_run = true;
      break;
    case 'v':
      o.extract.verbose = true;
      break;
    case 'l':
      o.list = true;
      break;
    case 'p':
      store_argument(o.build.preamble_path, sizeof o.build.preamble_path, c, optarg);
      break;
    case 'C':
      o.comment = fitting_argument(c, optarg, kHeaderStringSize);
      break;
    case 'r':
      o.build.run_command = fitting_argument(c, optarg, kHeaderStringSize);
      break;
    case 'f':
      o.build.extract_command = fitting_argument(c, optarg, kHeaderStringSize);
      break;
    case 't':
      if (o.archive_mode)
        store_argument(o.extract.temp_path, sizeof o.extract.temp_path, c, optarg);
      break;
    case 'd':
      if (o.archive_mode)
        store_argument(o.extract.target_dir, sizeof o.extract.target_dir, c, optarg);
      break;
    case 'T': // the archive's default when building, this run's choice when running
      if (o.archive_mode)
        o.extract.temporary = true;
      else
        add_feature_item(c, nullptr, "VARDO_TEMP");
      break;
    case 'k':
      o.extract.keep = true;
      break;
    case 'q':
      o.extract.quiet = o.build.quiet = true;
      break;
    case 's':
      o.extract.no_space_check = true;
      break;
    case 'i':
      o.extract.no_digest = true;
      break;
    case 'K': // the key to sign with when building, the trusted keys when listing or unpacking
      o.build.key = o.extract.keys = fitting_argument(c, optarg, kTextBufferSize);
      break;
    case ':':
      fprintf(stderr, "%s: option requires an argument -- '%c'\n", process.program_name, optopt);
      usage_exit();
    case '?':
      // An unknown letter sets optopt; -? itself, a valid option, leaves it at 0.
      if (optopt)
        fprintf(stderr, "%s: invalid option -- '%c'\n", process.program_name, optopt);
      usage_exit();
    default: // -h
      usage_exit();
    }
  }
  return optind > before; // getopt took a "--" itself, not as an option's argument
}

// Opens the archive the run is about: the program's own file, kept open since the mode probe, or
// the archive `path` named on the command line. Returns -1 after the message when it is none.
static int archive_of(const char *path, bool own) {
  int fd = run.own_archive;
  run.own_archive = -1;
  run.integrity = Integrity{};
  if (!own) {
    if (fd >= 0)
      close(fd);
    // An archive to be verified is read from a private copy; any other as it stands.
    fd = run.options.extract.keys ? open_private_copy(run.header, path)
                                  : open_archive(run.header, path, &run.integrity.tap);
  }
  if (fd < 0)
    fprintf(stderr, "%s: unable to find preamble magic value\n", visible(path, stderr));
  return fd;
}

// Lists one archive; one that cannot be listed sets the exit status to 1.
static void list_one(const char *path, bool own) {
  int fd = archive_of(path, own);
  if (fd >= 0)
    list_archive(run.header, run.options.extract, run.stream, run.integrity, fd, path);
  else
    process.exit_status = 1;
}

// Lists the program's own file, or each operand on a plain tool or with -u.
[[noreturn]] static void list_and_exit(int operands, char **operand) {
  if (operands == 0 || (run.options.archive_mode && !run.options.use_operand)) {
    list_one(run.own_name, true);
  } else {
    for (int i = 0; i < operands; ++i)
      list_one(operand[i], false);
  }
  exit(process.exit_status);
}

// The operands of a running archive (after the archive's name with -u) go to its run command as
// its arguments. Unless "--" comes before them, one that looks like an option is refused: the
// options end at the first operand, so a later "-x" would be taken for an argument and the
// archive unpacked in place of the asked-for copy to standard output. Returns the arguments.
static char **installer_arguments(int operands, char **operand, bool after_dashes) {
  bool use_operand = run.options.use_operand;
  char **args = operand + (use_operand && operands > 0 ? 1 : 0);
  if (!after_dashes && *args && strcmp(*args, "--") == 0) { // a second one is an argument
    ++args;
    after_dashes = true;
  }
  for (char **a = args; !after_dashes && *a; ++a) {
    if ((*a)[0] == '-' && (*a)[1]) {
      fprintf(stderr, "%s: options go before the %s: %s\n", process.program_name,
              use_operand ? "archive name" : "operands", visible(*a, stderr));
      usage_exit();
    }
  }
  return args;
}

// An archive's own code cannot vouch for the archive: whoever changed it could have changed that
// code too. -K given to an archive is refused, naming the installed tool's command instead.
[[noreturn]] static void refuse_own_verification(int operands, char **operand) {
  const Options &o = run.options;
  const char *archive = o.use_operand && operands > 0 ? operand[0] : run.own_name;
  fprintf(stderr,
          "%s: an archive cannot vouch for itself: verify it with the installed tool: vardo -K "
          "%s %s %s\n",
          process.program_name, visible(o.extract.keys, stderr), o.list ? "-l" : "-u",
          visible(archive, stderr));
  exit(1);
}

// Every message begins with the program's name, which whoever named the archive chose, maybe
// another user: on a terminal it is shown escaped, as any text from outside is.
static const char *shown_program_name(const char *argv0) {
  const char *shown = visible(argv0, stderr);
  if (shown == argv0)
    return argv0;
  const char *copy = strdup(shown); // visible's buffers are reused
  return copy ? copy : "vardo";
}

void driver_main(int argc, char **argv) {
  claim_standard_descriptors();
  reset_inherited_signals();
  claim_stack();
  run.own_name = argv[0];
  process.program_name = shown_program_name(argv[0]);
  probe_mode();
  bool dashes = parse_options(argc, argv);
  int operands = argc - optind;
  char **operand = argv + optind;
  Options &o = run.options;

  // From here on the usage shows, and a build writes, the comment of -C, else the archive's own,
  // else the default.
  if (!o.comment)
    o.comment = run.header.comment;
  if (!o.comment[0])
    o.comment = kDefaultComment;
  o.build.comment = o.comment;
  if (!o.build.preamble_path[0]) {
    const char *self = platform_self_path();
    if (self)
      copy_text(o.build.preamble_path, self);
  }

  if (o.extract.keys && run.own_archive >= 0)
    refuse_own_verification(operands, operand);
  if (o.extract.keys)
    escape_everywhere();
  if (o.list)
    list_and_exit(operands, operand);
  if (operands == 0 && !o.archive_mode) {
    print_usage(o.archive_mode, o.comment);
    fprintf(stderr, "%s: what files do you want to compress?\n", process.program_name);
    exit(1);
  }
  if (!o.archive_mode) {
    // An archive whose commands no run could expand is never written.
    if (check_template(o.build.extract_command) < 0 || check_template(o.build.run_command) < 0)
      exit(1);
    build_archive(run.header, o.build, run.stream, operands, operand);
  }
  if (o.use_operand && operands == 0)
    usage_exit();
  // With -u a "--" before the archive's name guards the name, not the arguments after it.
  o.extract.args = installer_arguments(operands, operand, dashes && !o.use_operand);
  const char *archive = o.use_operand ? operand[0] : run.own_name;
  int fd = archive_of(archive, !o.use_operand);
  exit(fd >= 0 &&
               extract_archive(run.header, o.extract, run.stream, run.integrity, fd, archive) == 0
           ? 0
           : 1);
}

} // namespace vardo

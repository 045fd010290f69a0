#include "driver/usage.h"

#include <cstdio>

#include "driver/version.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

static const char kArchiveHelp[] =
    "    -h: show this help\n"
    "    -u: use as utility to decompress archive specified on command-line\n"
    "    -l: list compression statistics\n"
    "    -c: extract to stdout instead of archive name\n"
    "    -x: extract only. do not deflate the archive\n"
    "    -n: do not run install command after deflating archive\n"
    "    -t: temp path for decompression if archive allows\n"
    "    -v: verbose output\n";

// The options that came after those above, each on a line of its own after the usage above.
static const char kArchiveMore[] =
    "    -d dir: unpack into this directory (made when missing) and run the installer there\n"
    "    -T: unpack into a private temporary directory, removed when the run ends\n"
    "    -k: keep the temporary directory, and name it\n"
    "    -q: quiet: no comment, no \"Please wait...\", no progress line\n"
    "    -s: skip the check that the filesystem has room for the payload\n"
    "    -i: check the archive's length but not its digest before unpacking\n"
    "    -- args: the installer's arguments (without --, the operands that follow the options)\n";
static const char kBuildMore[] =
    "    -T: the archive unpacks into a private temporary directory unless told otherwise\n"
    "    -q: quiet: no progress line\n"
    "    -K key: sign the archive with this OpenSSH Ed25519 key, through ssh-keygen -Y sign\n"
    "    -K keys -l|-u archive: verify the archive's signature against these trusted keys first\n";

void print_usage(bool archive_mode, const char *comment) {
  fprintf(stderr, "Version: @(#) vardo %s    6/6/2001 \n", kReleaseNumber);
  if (archive_mode) {
    fprintf(stderr, "\n%s\n\n", visible(comment, stderr));
    fprintf(stderr, "Usage: %s [-hclnvtx]\n", process.program_name);
    fputs(kArchiveHelp, stderr);
    fputs(kArchiveMore, stderr);
  } else {
    fprintf(stderr,
            "Usage: %s [-huclva] [-p vardo_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
            "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
            "[-F feature_sting] <files...>\n",
            process.program_name);
    fputs(kBuildMore, stderr);
  }
}

} // namespace vardo

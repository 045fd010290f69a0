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

void print_usage(bool archive_mode, const char *comment) {
  fprintf(stderr, "Version: @(#) vardo %s    6/6/2001 \n", kReleaseNumber);
  if (archive_mode) {
    fprintf(stderr, "\n%s\n\n", visible(comment, stderr));
    fprintf(stderr, "Usage: %s [-hclnvtx]\n", process.program_name);
    fputs(kArchiveHelp, stderr);
  } else {
    fprintf(stderr,
            "Usage: %s [-huclva] [-p vardo_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
            "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
            "[-F feature_sting] <files...>\n",
            process.program_name);
  }
}

} // namespace vardo

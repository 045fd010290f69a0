#include "extract/command.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/feature.h"
#include "extract/interrupt.h"
#include "extract/quoting.h"
#include "extract/scan.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// Writes `value` where the template `tmpl` stands. Returns 0, or -1 after the refusal when the
// value could not be promised to stay data there.
static int insert_value(CommandBuffer *b, ShellState *s, const char *value, const char *tmpl) {
  if (shell_insert(b, s, value) == 0)
    return 0;
  fprintf(stderr, "%s: a value would not be data where this command puts it: %s\n",
          process.program_name, visible(tmpl, stderr));
  return -1;
}

// Writes the current directory where the template stands. Returns 0, or -1 after a message when
// the directory cannot be known or the value is refused; a directory too long even for the whole
// buffer counts as a too-long expansion.
static int insert_cwd(CommandBuffer *b, ShellState *s, const char *tmpl) {
  char cwd[kCommandSize];
  if (getcwd(cwd, sizeof cwd))
    return insert_value(b, s, cwd, tmpl);
  if (errno != ERANGE) {
    report_errno("getcwd");
    return -1;
  }
  b->overflow = true;
  return 0;
}

char *expand_template(const char *tmpl, const char *out_name) {
  auto *out = static_cast<char *>(calloc(kCommandSize, 1));
  if (!out) {
    // Not report_errno: the program name is escaped already.
    fprintf(stderr, "%s: %s\n", process.program_name, strerror(errno));
    return nullptr;
  }
  CommandBuffer b{out, kCommandSize};
  ShellState s;
  const TemplateScan scan = scan_template(tmpl);
  s.unsure = scan.unsure;
  int result = 0;
  for (size_t r = 0; tmpl[r] && !b.overflow && result == 0;) {
    s.naming = scan.names_at(r);
    if (tmpl[r] == '%' && tmpl[r + 1] == 'o') {
      result = insert_value(&b, &s, out_name, tmpl);
      r += 2;
    } else if (tmpl[r] == '%' && tmpl[r + 1] == 'p') {
      result = insert_cwd(&b, &s, tmpl);
      r += 2;
    } else {
      // Any other character, and "%" with whatever follows it (nothing at the end).
      size_t len = tmpl[r] == '%' && tmpl[r + 1] ? 2 : 1;
      for (size_t i = 0; i < len; ++i) {
        shell_follow(&s, tmpl[r + i]);
        b.put(tmpl[r + i]);
      }
      r += len;
    }
  }
  if (result == 0 && !b.overflow)
    return out;
  if (result == 0)
    fprintf(stderr, "%s: command longer than %d characters after expansion: %s\n",
            process.program_name, kCommandSize - 1, visible(tmpl, stderr));
  free(out);
  return nullptr;
}

// Runs `cmd` through the shell and waits for it. Returns its wait status, or -1 when no shell
// could be started.
static int run_command(const char *cmd) {
  fflush(nullptr);
  pid_t pid = start_command(cmd, nullptr);
  return pid < 0 ? -1 : finish_command(pid, -1);
}

// Holds the confirmation dialogue on standard output; true when the answer was yes. End of
// input declines.
static bool confirm_run() {
  char reply[512];
  printf("OK to run the command? ");
  for (;;) {
    fflush(stdout);
    if (!read_answer(reply, 511))
      return false;
    int c = toupper(static_cast<unsigned char>(reply[0]));
    if (c == 'N')
      return false;
    if (c == 'Y')
      return true;
    printf("\n? (y/n): ");
  }
}

int run_post_command(const ArchiveHeader &h, const char *cmd, const char *path,
                     const char *out_name, bool verbose) {
  feature_export(h); // before any question: the command inherits the items whatever the answer
  int status = 0;
  if (verbose) {
    printf("This archive requires more processing using the following command:\n");
    // The answer is typed at the terminal of standard input, and the command is read there even
    // when standard output goes through a pipe such as tee.
    printf("    %s\n", isatty(STDIN_FILENO) ? escape_controls(cmd) : visible(cmd, stdout));
    bool asked = isatty(fileno(stdin));
    if (!asked)
      printf("but stdin is not a terminal. So forget it.\n");
    // A dialogue nobody could read (standard output on a full disk) is a failure, not a no.
    if (fflush(stdout) != 0) {
      fprintf(stderr, "%s: stdout: %s\n", process.program_name, strerror(errno));
      status = -1;
    } else if (asked && confirm_run()) {
      status = run_command(cmd);
    }
  } else {
    status = run_command(cmd);
    // A shell that exited with another code than 0, or none started at all (-1); a command ended
    // by a signal is not reported here.
    if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
      fprintf(stderr, "\n%s: final processing of %s failed\n", visible(path, stderr),
              visible(out_name, stderr));
      fprintf(stderr, "\nCommand: %s\n", visible(cmd, stderr));
    }
  }
  return status == 0 ? 0 : -1;
}

} // namespace vardo

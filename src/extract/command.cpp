#include "extract/command.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "extract/quoting.h"
#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// Writes the current directory where the template stands. Returns 0, or -1 after a message when
// the directory cannot be known (a directory too long even for the whole buffer counts as a
// too-long expansion).
static int insert_cwd(CommandBuffer *b, ShellState *s) {
  char cwd[kCommandSize];
  if (getcwd(cwd, sizeof cwd))
    return shell_insert(b, s, cwd);
  if (errno != ERANGE) {
    perror("getcwd");
    return -2;
  }
  b->overflow = true;
  return 0;
}

char *expand_template(const char *tmpl) {
  auto *out = static_cast<char *>(calloc(kCommandSize, 1));
  if (!out) {
    perror(process.program_name);
    return nullptr;
  }
  CommandBuffer b{out, kCommandSize};
  ShellState s;
  shell_prepare(&s, tmpl);
  int result = 0;
  for (size_t r = 0; tmpl[r] && !b.overflow && result == 0;) {
    if (tmpl[r] == '%' && tmpl[r + 1] == 'o') {
      result = shell_insert(&b, &s, stream.out_name);
      r += 2;
    } else if (tmpl[r] == '%' && tmpl[r + 1] == 'p') {
      result = insert_cwd(&b, &s);
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
  if (result == -1)
    fprintf(stderr, "%s: a value would not be data where this command puts it: %s\n",
            process.program_name, visible(tmpl, stderr));
  else if (b.overflow)
    fprintf(stderr, "%s: command longer than %d characters after expansion: %s\n",
            process.program_name, kCommandSize - 1, visible(tmpl, stderr));
  free(out);
  return nullptr;
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

int run_post_command(const char *path) {
  char *cmd = expand_template(archive_header.run_command);
  if (!cmd)
    return -1;
  feature_export(); // before any question: the command inherits the items whatever the answer
  int result = 0;
  if (process.verbose) {
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
      result = -1;
    } else if (asked && confirm_run()) {
      fflush(nullptr);
      result = system(cmd);
    }
  } else {
    fflush(nullptr);
    result = system(cmd);
    // A shell that exited with another code than 0, or none started at all (-1); a command ended
    // by a signal is not reported here.
    if (result == -1 || (WIFEXITED(result) && WEXITSTATUS(result) != 0)) {
      fprintf(stderr, "\n%s: final processing of %s failed\n", path,
              visible(stream.out_name, stderr));
      fprintf(stderr, "\nCommand: %s\n", visible(cmd, stderr));
    }
  }
  free(cmd);
  return result;
}

} // namespace vardo

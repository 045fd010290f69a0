#include "extract/command.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "driver/settings.h"
#include "gzstream/stream.h"
#include "lib/text.h"

namespace vardo {

// Appends `len` bytes at *w; -1 when they would not leave room for the NUL.
static int append(char *out, size_t *w, const char *text, size_t len) {
  if (*w + len > kCommandSize - 1)
    return -1;
  memcpy(out + *w, text, len);
  *w += len;
  return 0;
}

// Writes the working directory at *w, in the room that is left.
static int append_cwd(char *out, size_t *w) {
  if (*w >= kCommandSize - 1)
    return -1;
  if (!getcwd(out + *w, kCommandSize - 1 - *w)) {
    if (errno == ERANGE)
      return -1;
    perror("getcwd");
    return -2;
  }
  *w += strlen(out + *w);
  return 0;
}

char *expand_template(const char *tmpl) {
  auto *out = static_cast<char *>(calloc(kCommandSize, 1));
  if (!out) {
    perror(settings.program_name);
    return nullptr;
  }
  size_t w = 0;
  int err = 0;
  for (size_t r = 0; tmpl[r] && err == 0;) {
    if (tmpl[r] == '%' && tmpl[r + 1] == 'o') {
      err = append(out, &w, stream.out_name, strlen(stream.out_name));
      r += 2;
    } else if (tmpl[r] == '%' && tmpl[r + 1] == 'p') {
      err = append_cwd(out, &w);
      r += 2;
    } else {
      // Any other character, and "%" with whatever follows it (nothing at the end).
      size_t len = tmpl[r] == '%' && tmpl[r + 1] ? 2 : 1;
      err = append(out, &w, tmpl + r, len);
      r += len;
    }
  }
  if (err == 0)
    return out;
  if (err == -1)
    fprintf(stderr, "%s: command longer than %d characters after expansion: %s\n",
            settings.program_name, kCommandSize - 1, tmpl);
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
  if (settings.verbose) {
    printf("This archive requires more processing using the following command:\n");
    printf("    %s\n", cmd);
    if (!isatty(fileno(stdin))) {
      printf("but stdin is not a terminal. So forget it.\n");
    } else if (confirm_run()) {
      fflush(nullptr);
      result = system(cmd);
    }
  } else {
    fflush(nullptr);
    result = system(cmd);
    // The shell's exit code, from the wait status; -1 from system shows as all ones here.
    if ((result >> 8) & 0xFF) {
      fprintf(stderr, "\n%s: final processing of %s failed\n", path, stream.out_name);
      fprintf(stderr, "\nCommand: %s\n", cmd);
    }
  }
  free(cmd);
  return result;
}

} // namespace vardo

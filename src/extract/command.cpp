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
#include "lib/visible.h"

namespace vardo {

// Where the shell stands at a point of a template: outside quotes, inside '...' or inside "...",
// and whether an unquoted (or double-quoted) backslash is waiting for the next character.
struct QuoteState {
  enum { kPlain, kSingle, kDouble } context = kPlain;
  bool escaped = false;
};

// Follows one template character as the shell reads it: quotes open and close, a backslash
// makes the next character literal. Nothing else of the shell's syntax changes how a value
// must be quoted.
static void follow_quoting(QuoteState *q, char c) {
  if (q->escaped) {
    q->escaped = false;
    return;
  }
  switch (q->context) {
  case QuoteState::kPlain:
    if (c == '\\')
      q->escaped = true;
    else if (c == '\'')
      q->context = QuoteState::kSingle;
    else if (c == '"')
      q->context = QuoteState::kDouble;
    break;
  case QuoteState::kSingle:
    if (c == '\'')
      q->context = QuoteState::kPlain;
    break;
  case QuoteState::kDouble:
    if (c == '\\')
      q->escaped = true;
    else if (c == '"')
      q->context = QuoteState::kPlain;
    break;
  }
}

// Characters the shell reads as themselves outside quotes, wherever they stand in a word.
static bool is_plain_word(const char *value) {
  for (const char *v = value; *v; ++v)
    if (!isalnum(static_cast<unsigned char>(*v)) && !strchr("_./,:+@%=-", *v))
      return false;
  return true;
}

// Output buffer of an expansion: at most kCommandSize - 1 characters and the NUL.
struct Expansion {
  char *out;
  size_t w = 0;
  bool overflow = false;
  void put(char c) {
    if (w < kCommandSize - 1)
      out[w++] = c;
    else
      overflow = true;
  }
  void put(const char *text) {
    while (*text)
      put(*text++);
  }
};

// Writes `value` so that the shell, in the quoting state of the template, reads exactly its bytes
// as data. A value that needs no quoting is written unchanged, as is every value a template
// received before values were quoted. A pending backslash takes the value's first byte: outside
// quotes it would turn a quote into a literal, so a quoted value is preceded by a newline
// (backslash-newline is a line continuation, which the shell drops); inside "..." it stays a
// literal backslash, written as "\\" where the first byte would be one it escapes.
static void insert_value(Expansion *e, QuoteState *q, const char *value) {
  bool escaped = q->escaped;
  q->escaped = q->escaped && !value[0];
  switch (q->context) {
  case QuoteState::kPlain:
    if (is_plain_word(value))
      return e->put(value);
    if (escaped)
      e->put('\n');
    e->put('\'');
    for (const char *v = value; *v; ++v)
      *v == '\'' ? e->put("'\\''") : e->put(*v);
    return e->put('\'');
  case QuoteState::kSingle:
    for (const char *v = value; *v; ++v)
      *v == '\'' ? e->put("'\\''") : e->put(*v);
    return;
  case QuoteState::kDouble:
    if (escaped && value[0] && strchr("\"$`\\\n", value[0]))
      e->put('\\');
    for (const char *v = value; *v; ++v) {
      if (strchr("\"$`\\", *v))
        e->put('\\');
      e->put(*v);
    }
    return;
  }
}

char *expand_template(const char *tmpl) {
  auto *out = static_cast<char *>(calloc(kCommandSize, 1));
  if (!out) {
    perror(settings.program_name);
    return nullptr;
  }
  Expansion e{out};
  QuoteState q;
  char cwd[kCommandSize];
  for (size_t r = 0; tmpl[r] && !e.overflow;) {
    if (tmpl[r] == '%' && tmpl[r + 1] == 'o') {
      insert_value(&e, &q, stream.out_name);
      r += 2;
    } else if (tmpl[r] == '%' && tmpl[r + 1] == 'p') {
      // A directory too long even for the whole buffer is a too-long expansion.
      const char *dir = getcwd(cwd, sizeof cwd);
      if (!dir && errno != ERANGE) {
        perror("getcwd");
        free(out);
        return nullptr;
      }
      if (dir)
        insert_value(&e, &q, dir);
      else
        e.overflow = true;
      r += 2;
    } else {
      // Any other character, and "%" with whatever follows it (nothing at the end).
      size_t len = tmpl[r] == '%' && tmpl[r + 1] ? 2 : 1;
      for (size_t i = 0; i < len; ++i) {
        follow_quoting(&q, tmpl[r + i]);
        e.put(tmpl[r + i]);
      }
      r += len;
    }
  }
  if (!e.overflow)
    return out;
  fprintf(stderr, "%s: command longer than %d characters after expansion: %s\n",
          settings.program_name, kCommandSize - 1, visible(tmpl, stderr));
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
    if (!fgets(reply, 511, stdin))
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
    printf("    %s\n", visible(cmd, stdout));
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
      fprintf(stderr, "\n%s: final processing of %s failed\n", path,
              visible(stream.out_name, stderr));
      fprintf(stderr, "\nCommand: %s\n", visible(cmd, stderr));
    }
  }
  free(cmd);
  return result;
}

} // namespace vardo

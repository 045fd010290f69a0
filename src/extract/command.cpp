#include "extract/command.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "extract/interrupt.h"
#include "extract/quoting.h"
#include "extract/scan.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

extern char **environ;

namespace vardo {

// The variables that carry the values, and the placeholder each stands for.
struct Placeholder {
  char letter;
  const char *variable;
};
static const Placeholder kPlaceholders[] = {{'o', "VARDO_O"}, {'p', "VARDO_P"}};

// One of the two texts being written, at most 2047 characters.
struct Output {
  char *out;
  size_t w = 0;
  bool overflow = false;
  void put(const char *text, size_t len) {
    if (len > kCommandSize - 1 - w) {
      overflow = true;
      return;
    }
    memcpy(out + w, text, len);
    w += len;
  }
  void put(const char *text) { put(text, strlen(text)); }
};

// A value that means the same to every shell wherever it stands as plain text: letters, digits
// and "_./:+@%=-", and commas unless a "{" of the template may make more words of them (as
// "..").
static bool is_plain_value(const char *value, bool braces) {
  if (!*value || (braces && (strchr(value, ',') || find_text(value, ".."))))
    return false;
  for (const char *v = value; *v; ++v)
    if (!isalnum(static_cast<unsigned char>(*v)) && !strchr("_./:+@%=-,", *v))
      return false;
  return true;
}

// Writes the reference to `variable` for the quoting `q`. Returns -1 where it cannot be told.
// The forms: "${X?}" outside quotes, '"${X?}"' inside single quotes, ${X?} inside double quotes,
// the opening the end of the first string below and the closing the start of the second, as far
// as the quotes it needs.
static int put_reference(Output *text, Quoting q, const char *variable) {
  int quotes = q == Quoting::plain ? 1 : q == Quoting::single ? 2 : q == Quoting::dbl ? 0 : -1;
  if (quotes < 0)
    return -1;
  text->put("'\"${" + 2 - quotes);
  text->put(variable);
  text->put("?}\"'", 2 + quotes);
  return 0;
}

static int refuse(const char *tmpl) {
  fprintf(stderr, "%s: a value would not be data where this command puts it: %s\n",
          process.program_name, visible(tmpl, stderr));
  return -1;
}

// Whether `text` holds a byte that is no ASCII character.
static bool holds_high_byte(const char *text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 0x80)
      return true;
  return false;
}

// Puts before the command `text` a check of every variable it refers to, ": "${VAR?}" ...;",
// which a shell that dropped one (yash, bytes that are no characters of its locale) fails on at
// once, before any command of the template runs: a reference inside a subshell would end only
// that subshell. So for the run command's name and operands ($0, $1, ...) that hold such bytes
// and are not empty: yash gives an empty one in their place.
static void put_guard(Output *text, const bool (&referred)[2], const TemplateValues &values) {
  static char guard[kCommandSize]; // not on the stack, nor in the executable
  size_t len = 1;
  guard[0] = ':';
  auto add = [&](const char *form, const char *name, int n) {
    if (format_text(guard + len, sizeof guard - len, form, name, n) < 0)
      text->overflow = true;
    len += strlen(guard + len);
  };
  for (int i = 0; i < 2; ++i)
    if (referred[i])
      add(" \"${%s?}\"", kPlaceholders[i].variable, 0);
  for (int n = 0; n == 0 ? values.name != nullptr : values.args && values.args[n - 1]; ++n) {
    const char *arg = n == 0 ? values.name : values.args[n - 1];
    if (*arg && holds_high_byte(arg))
      add(" \"${%s%d:?}\"", "", n);
  }
  if (len == 1 || text->overflow)
    return;
  add("; ", "", 0);
  if (len > kCommandSize - 1 - text->w) {
    text->overflow = true;
    return;
  }
  memmove(text->out + len, text->out, text->w);
  memcpy(text->out, guard, len);
  text->w += len;
}

int expand_template(const char *tmpl, const TemplateValues &values, ExpandedCommand *out) {
  Output text{out->text}, shown{out->shown};
  bool referred[2] = {false, false};
  QuoteTracker quoting;
  bool braces = strchr(tmpl, '{') != nullptr;
  bool rereads = rereads_as_code(tmpl);
  for (size_t r = 0; tmpl[r];) {
    const Placeholder *ph = nullptr;
    for (const Placeholder &p : kPlaceholders)
      if (tmpl[r] == '%' && tmpl[r + 1] == p.letter)
        ph = &p;
    if (!ph) {
      // Any other character, and "%" with whatever follows it (nothing at the end).
      size_t len = tmpl[r] == '%' && tmpl[r + 1] ? 2 : 1;
      for (size_t i = 0; i < len; ++i)
        quoting.follow(tmpl[r + i]);
      text.put(tmpl + r, len);
      shown.put(tmpl + r, len);
      r += len;
      continue;
    }
    int which = static_cast<int>(ph - kPlaceholders);
    const char *value = which == 0 ? values.out_name : values.dir;
    if (rereads)
      return refuse(tmpl);
    if (is_plain_value(value, braces))
      text.put(value);
    else if (put_reference(&text, quoting.here(), ph->variable) < 0)
      return refuse(tmpl);
    else
      referred[which] = true;
    quoting.follow('x'); // the value is a word, whatever the shell makes of it
    shown.put(value);
    r += 2;
  }
  // A template whose quoting does not end where it began was read otherwise than the shell
  // will read it: a reference in it may stand where it seemed not to.
  if ((referred[0] || referred[1]) && !quoting.settled())
    return refuse(tmpl);
  put_guard(&text, referred, values);
  if (text.overflow || shown.overflow) {
    fprintf(stderr, "%s: command longer than %d characters after expansion: %s\n",
            process.program_name, kCommandSize - 1, visible(tmpl, stderr));
    return -1;
  }
  text.out[text.w] = shown.out[shown.w] = '\0';
  return 0;
}

int check_template(const char *tmpl) {
  // Plain values, which no quoting refuses, and short, which no length does.
  ExpandedCommand scratch;
  return expand_template(tmpl, TemplateValues{"x", "/"}, &scratch);
}

int command_environment(CommandEnvironment *ce, const TemplateValues &values, char *const *extra) {
  // Each value fits: an output name holds at most 1023 bytes, a directory at most 2047.
  snprintf(ce->out_name, sizeof ce->out_name, "%s=%s", kPlaceholders[0].variable, values.out_name);
  snprintf(ce->dir, sizeof ce->dir, "%s=%s", kPlaceholders[1].variable, values.dir);
  int result = environment_start(&ce->env, environ);
  for (char *const *e = extra; result == 0 && e && *e; ++e)
    result = environment_set(&ce->env, *e);
  if (result == 0)
    result = environment_set(&ce->env, ce->out_name);
  if (result == 0)
    result = environment_set(&ce->env, ce->dir);
  if (result < 0) // Not report_errno: the program name is escaped already.
    fprintf(stderr, "%s: %s\n", process.program_name, strerror(errno));
  return result;
}

// Runs `cmd` through the shell and waits for it. Returns its wait status, or -1 when no shell
// could be started.
static int run_command(const char *cmd, const ShellCall &call) {
  fflush(nullptr);
  pid_t pid = start_command(cmd, call, nullptr);
  return pid < 0 ? -1 : finish_command(pid, -1);
}

// Holds the confirmation dialogue on standard output; true when the answer was yes. End of
// input declines.
static bool confirm_run() {
  char reply[512];
  fputs("OK to run the command? ", stdout);
  for (;;) {
    fflush(stdout);
    if (!read_answer(reply, 511))
      return false;
    int c = toupper(static_cast<unsigned char>(reply[0]));
    if (c == 'N')
      return false;
    if (c == 'Y')
      return true;
    fputs("\n? (y/n): ", stdout);
  }
}

int run_post_command(const ExpandedCommand &cmd, const ShellCall &call, const char *path,
                     const char *out_name, bool verbose) {
  int status = 0;
  if (verbose) {
    fputs("This archive requires more processing using the following command:\n", stdout);
    // The answer is typed at the terminal of standard input, and the command is read there even
    // when standard output goes through a pipe such as tee.
    fprintf(stdout, "    %s\n",
            isatty(STDIN_FILENO) ? escape_controls(cmd.shown) : visible(cmd.shown, stdout));
    bool asked = isatty(0);
    if (!asked)
      fputs("but stdin is not a terminal. So forget it.\n", stdout);
    // A dialogue nobody could read (standard output on a full disk) is a failure, not a no.
    if (fflush(stdout) != 0) {
      fprintf(stderr, "%s: stdout: %s\n", process.program_name, strerror(errno));
      status = -1;
    } else if (asked && confirm_run()) {
      status = run_command(cmd.text, call);
    }
  } else {
    status = run_command(cmd.text, call);
    // A shell that exited with another code than 0, or none started at all (-1); a command ended
    // by a signal is not reported here.
    if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
      fprintf(stderr, "\n%s: final processing of %s failed\n", visible(path, stderr),
              visible(out_name, stderr));
      fprintf(stderr, "\nCommand: %s\n", visible(cmd.shown, stderr));
    }
  }
  return status == 0 ? 0 : -1;
}

} // namespace vardo

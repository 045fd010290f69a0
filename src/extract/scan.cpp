#include "extract/scan.h"

#include <cctype>
#include <cstring>

#include "extract/quoting.h"

namespace vardo {

// Every builtin and reserved word of the shells /bin/sh may be (dash, bash, busybox sh). A
// command word that is none of them names a program.
static const char *const kBuiltins[] = {
    ".",        ":",       "[",       "[[",      "alias",   "bg",        "bind",     "break",
    "builtin",  "caller",  "cd",      "chdir",   "command", "compgen",   "complete", "compopt",
    "continue", "coproc",  "declare", "dirs",    "disown",  "echo",      "enable",   "eval",
    "exec",     "exit",    "export",  "false",   "fc",      "fg",        "getopts",  "hash",
    "help",     "history", "jobs",    "kill",    "let",     "local",     "logout",   "mapfile",
    "popd",     "printf",  "pushd",   "pwd",     "read",    "readarray", "readonly", "return",
    "select",   "set",     "shift",   "shopt",   "source",  "suspend",   "test",     "times",
    "trap",     "true",    "type",    "typeset", "ulimit",  "umask",     "unalias",  "unset",
    "wait"};

// The builtins that take every argument as data, in every one of those shells. test, [ and printf
// do so but for their option -v (and test's -R), which names a variable.
static const char *const kDataBuiltins[] = {
    ":",        "true",  "false", "echo",  "cd",    "chdir", "pwd", "exit",   "return", "break",
    "continue", "shift", "set",   "umask", "times", "test",  "[",   "printf", "export", "readonly"};

// Reserved words that a command may follow, and words that run the command after them.
static const char *const kBeforeCommand[] = {"!",    "{",       "}",       "if",   "then",  "else",
                                             "elif", "fi",      "do",      "done", "while", "until",
                                             "time", "command", "builtin", "exec"};

// The words among them whose options come before the command.
static const char *const kPrefixes[] = {"time", "command", "builtin", "exec"};

// Reserved words after which the words up to the end of the command are not commands.
static const char *const kNoCommand[] = {"case", "esac", "for", "select", "in"};

template <size_t N> static bool is_one_of(const char *word, const char *const (&list)[N]) {
  for (const char *entry : list)
    if (strcmp(word, entry) == 0)
      return true;
  return false;
}

// NAME=... before a command word is an assignment, not the command.
static bool is_assignment(const char *word) {
  const char *p = word;
  if (!isalpha(static_cast<unsigned char>(*p)) && *p != '_')
    return false;
  while (isalnum(static_cast<unsigned char>(*p)) || *p == '_')
    ++p;
  return *p == '=' || (p[0] == '+' && p[1] == '='); // bash's "+=" too
}

// Variables that a shell, or the loader of the programs it runs, reads as code or as how to run
// commands: the prompts (PS4 is expanded, substitutions included, under "set -x"), ENV, bash's
// own (BASH_ENV, BASH_ALIASES, ...), those whose value bash evaluates as arithmetic (OPTIND,
// RANDOM, ...), and the search paths. A value assigned to one may run as code.
static bool is_shell_variable(const char *name, size_t len) {
  static const char *const kNames[] = {
      "ENV",     "PROMPT_COMMAND", "OPTIND",         "OPTARG",        "RANDOM",       "SRANDOM",
      "HISTCMD", "LINENO",         "SECONDS",        "EPOCHREALTIME", "EPOCHSECONDS", "IFS",
      "PATH",    "CDPATH",         "SHELLOPTS",      "GLOBIGNORE",    "FUNCNEST",     "TMOUT",
      "MAIL",    "MAILPATH",       "POSIXLY_CORRECT"};
  for (const char *known : kNames)
    if (len == strlen(known) && strncmp(name, known, len) == 0)
      return true;
  bool prompt =
      len == 3 && strncmp(name, "PS", 2) == 0 && isdigit(static_cast<unsigned char>(name[2]));
  auto begins = [&](const char *prefix) {
    return len >= strlen(prefix) && strncmp(name, prefix, strlen(prefix)) == 0;
  };
  return prompt || begins("BASH") || begins("LD_") || begins("COMP");
}

// Whether `word`, an assignment, assigns to one of those.
static bool assigns_shell_variable(const char *word) {
  return is_shell_variable(word, strcspn(word, "+="));
}

// The simple command being read: whether its command word is still to come, and what kind of
// command it is.
struct SimpleCommand {
  enum Kind { kNone, kTest, kPrintf, kNaming };
  size_t begin = 0;
  bool expect_command = true;
  bool after_prefix = false;    // after command, builtin, exec or time: their options come first
  bool redirect_target = false; // the next word follows "<" or ">"
  bool no_command = false;      // after case, for and the like, up to "do" or the end
  Kind kind = kNone;
  int arguments = 0; // read after the command word
};

// One word of the template, its quotes and backslashes taken out.
struct Word {
  char text[1024] = ""; // a template holds at most 1023 characters
  size_t len = 0;
  bool expansion = false; // holds a "$": its value may bring anything, more words included
  bool in_name = false;   // ... before the word's first "=", where export takes a name
  bool brace = false;     // holds a "{" outside quotes, which bash may expand into more words
  void add(char c) {
    if (len + 1 < sizeof text)
      text[len++] = c;
    text[len] = '\0';
  }
};

// Notes an expansion in `w`, and whether it stands where export would take a name.
static void note_expansion(Word *w) {
  w->expansion = true;
  w->in_name = w->in_name || !memchr(w->text, '=', w->len);
}

// An element of an array, NAME[...]: bash evaluates its subscript as arithmetic.
static bool is_element(const char *word) {
  const char *p = word;
  while (isalnum(static_cast<unsigned char>(*p)) || *p == '_')
    ++p;
  return p > word && *p == '[';
}

// The command word `w` of `cmd`: a program, or a builtin that takes its arguments as data.
static void read_command_word(TemplateScan *scan, SimpleCommand *cmd, const Word &w) {
  const char *t = w.text;
  cmd->expect_command = false;
  // A word that may turn into another, or into several, is not known; "function" begins a
  // definition in bash, whose body the scan does not tell from the name.
  if (w.expansion || (w.brace && strcmp(t, "{") != 0) || is_element(t) ||
      strcmp(t, "function") == 0 || (is_one_of(t, kBuiltins) && !is_one_of(t, kDataBuiltins)))
    scan->unsure = true;
  else if (strcmp(t, "test") == 0 || strcmp(t, "[") == 0)
    cmd->kind = SimpleCommand::kTest;
  else if (strcmp(t, "printf") == 0)
    cmd->kind = SimpleCommand::kPrintf;
  else if (strcmp(t, "export") == 0 || strcmp(t, "readonly") == 0)
    cmd->kind = SimpleCommand::kNaming;
}

static void end_word(TemplateScan *scan, SimpleCommand *cmd, Word *w) {
  if (w->len == 0 && !w->expansion) {
    *w = Word{};
    return;
  }
  const char *t = w->text;
  if (cmd->redirect_target) {
    cmd->redirect_target = false;
  } else if (cmd->no_command) {
    cmd->no_command = strcmp(t, "do") != 0; // "for NAME do ...": the command is still to come
  } else if (cmd->expect_command) {
    if (is_one_of(t, kNoCommand))
      cmd->no_command = true;
    else if (is_one_of(t, kBeforeCommand))
      cmd->after_prefix = cmd->after_prefix || is_one_of(t, kPrefixes);
    else if (is_assignment(t))
      scan->unsure = scan->unsure || assigns_shell_variable(t);
    else if (!(cmd->after_prefix && t[0] == '-'))
      read_command_word(scan, cmd, *w);
  } else if (cmd->kind == SimpleCommand::kNaming) {
    // Their options other than -p declare arrays or functions, which bash evaluates; their
    // assignments must not set a variable the shell reads as code.
    bool option = t[0] == '-' && strcmp(t, "--") != 0 && strcmp(t, "-p") != 0;
    scan->unsure =
        scan->unsure || option || w->in_name || (is_assignment(t) && assigns_shell_variable(t));
  } else if (cmd->kind == SimpleCommand::kTest || cmd->kind == SimpleCommand::kPrintf) {
    // An option -v (or test's -R) names a variable, and one may come from an expansion or a
    // brace: test reads an operator in any argument, printf an option in its first.
    bool option = cmd->kind == SimpleCommand::kTest || cmd->arguments++ == 0;
    if (option &&
        (strncmp(t, "-v", 2) == 0 || strncmp(t, "-R", 2) == 0 || w->expansion || w->brace))
      scan->unsure = true;
  }
  *w = Word{};
}

static void end_command(TemplateScan *scan, SimpleCommand *cmd, size_t at) {
  if (cmd->kind == SimpleCommand::kNaming) {
    if (scan->naming == TemplateScan::kMaxNaming) {
      scan->unsure = true;
    } else {
      scan->naming_begin[scan->naming] = cmd->begin;
      scan->naming_end[scan->naming++] = at;
    }
  }
  *cmd = SimpleCommand{};
  cmd->begin = at + 1;
}

bool TemplateScan::names_at(size_t at) const {
  for (int i = 0; i < naming; ++i)
    if (at >= naming_begin[i] && at < naming_end[i])
      return true;
  return false;
}

// Whether the whole template keeps to the grammar that quoting.h follows: words, blanks,
// newlines, quotes without substitutions, escapes but line continuations, $NAME, operators; no
// comment, here-document, substitution, "${", "$'", nesting, nor a byte above 0x7F, which in a
// multibyte locale may take the next byte along. Within it the words and commands below are read
// as every shell reads them.
static bool keeps_to_the_followed_grammar(const char *tmpl) {
  ShellState s;
  for (const char *p = tmpl; *p; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80)
      return false;
    shell_follow(&s, *p);
  }
  return !s.unsure && s.quote == ShellState::kPlain && !s.escaped;
}

// The redirection operator at `t`: its length, with "-" after ">&" or "<&", which closes the
// descriptor and takes no word. Redirection operators are ">", ">>", ">|", ">&", "<", "<>", "<&";
// "<<" begins a here-document, which the followed grammar excludes.
static size_t redirection_length(const char *t, bool *takes_word) {
  size_t len =
      (t[1] == '>' || t[1] == '&' || (t[0] == '>' && t[1] == '|') || (t[0] == '<' && t[1] == '>'))
          ? 2
          : 1;
  *takes_word = !(t[1] == '&' && t[2] == '-');
  return len + (*takes_word ? 0 : 1);
}

TemplateScan scan_template(const char *tmpl) {
  TemplateScan scan;
  if (!keeps_to_the_followed_grammar(tmpl)) {
    scan.unsure = true;
    return scan;
  }
  SimpleCommand cmd;
  Word w;
  char quote = 0;
  size_t i = 0;
  for (; tmpl[i]; ++i) {
    char c = tmpl[i];
    // A placeholder, which the expansion replaces inside quotes too: a value may be any text, so
    // it counts as an expansion, but %p at the start of a word, a path that begins with "/".
    if (c == '%' && (tmpl[i + 1] == 'o' || tmpl[i + 1] == 'p')) {
      if (tmpl[i + 1] == 'o' || w.len > 0 || w.expansion)
        note_expansion(&w);
      w.add(c);
      w.add(tmpl[++i]);
      continue;
    }
    if (c == '%' && tmpl[i + 1] == '%') { // "%%" stays as it is, no placeholder
      w.add(c);
      w.add(tmpl[++i]);
      continue;
    }
    if (quote == '\'') {
      if (c == '\'')
        quote = 0;
      else
        w.add(c);
    } else if (c == '\\') {
      w.add(tmpl[++i]); // never a newline: the followed grammar has no line continuation
    } else if (c == '$') {
      note_expansion(&w);
      w.add(c);
    } else if (quote == '"') {
      if (c == '"')
        quote = 0;
      else
        w.add(c);
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ' ' || c == '\t') {
      end_word(&scan, &cmd, &w);
    } else if (c == '&' && tmpl[i + 1] == '>') {
      // bash redirects both outputs; dash ends the command and redirects the next one's.
      scan.unsure = true;
      return scan;
    } else if (c == '<' || c == '>') {
      // A redirection: a number just before it is its descriptor, not a word.
      if (w.len > 0 && !w.expansion && strspn(w.text, "0123456789") == w.len)
        w = Word{};
      end_word(&scan, &cmd, &w);
      bool takes_word;
      i += redirection_length(tmpl + i, &takes_word) - 1;
      cmd.redirect_target = takes_word;
    } else if (strchr(";&|()\n", c)) {
      end_word(&scan, &cmd, &w);
      end_command(&scan, &cmd, i);
    } else {
      w.brace = w.brace || c == '{';
      w.add(c);
    }
  }
  end_word(&scan, &cmd, &w);
  end_command(&scan, &cmd, i);
  return scan;
}

} // namespace vardo

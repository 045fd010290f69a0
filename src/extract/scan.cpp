#include "extract/scan.h"

#include <cctype>
#include <cstring>

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
static const char *const kNoCommand[] = {"case", "esac", "for", "select", "function", "in"};

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
  return *p == '=';
}

// The "${" at `p` is followed only in the forms that expand a variable's value as it is:
// ${NAME}, ${N}, ${#NAME}, a special parameter alone, and ${NAME} with an operator that gives a
// default or matches a pattern. An offset (":" and a number), a subscript, an indirection ("!"),
// a transformation ("@") and the length of an element evaluate or run what a variable holds in
// bash.
static bool is_plain_brace(const char *p) {
  const char *q = p + 2;
  bool length = *q == '#' && q[1] != '}';
  if (length)
    ++q;
  const char *name = q;
  while (isalnum(static_cast<unsigned char>(*q)) || *q == '_')
    ++q;
  bool named = q > name && !isdigit(static_cast<unsigned char>(*name));
  bool digit = q == name + 1 && isdigit(static_cast<unsigned char>(*name));
  if (q == name && *q && strchr("@*#?$!-", *q))
    ++q; // a special parameter: nothing may follow it but "}"
  else if (!named && !digit)
    return false;
  if (*q == '}')
    return true;
  bool op = strchr("-=?+%/^,#", *q) || (*q == ':' && q[1] && strchr("-=?+", q[1]));
  return !length && named && op;
}

// What a "$" or a backquote at `p`, outside single quotes and not escaped, begins: a command
// substitution or arithmetic runs or evaluates what it holds.
static bool begins_code(const char *p) {
  if (*p == '`')
    return true;
  return p[1] == '(' || p[1] == '[' || (p[1] == '{' && !is_plain_brace(p));
}

// The simple command being read: whether its command word is still to come, and what kind of
// command it is.
struct SimpleCommand {
  enum Kind { kNone, kOptionNamesVariable, kNaming };
  size_t begin = 0;
  bool expect_command = true;
  bool after_prefix = false;    // after command, builtin, exec or time: their options come first
  bool redirect_target = false; // the next word follows "<" or ">"
  bool no_command = false;      // after case, for and the like
  Kind kind = kNone;
};

// One word of the template, its quotes and backslashes taken out.
struct Word {
  char text[32] = "";
  size_t len = 0;
  bool expansion = false; // holds a "$" outside single quotes
  void add(char c) {
    if (len + 1 < sizeof text)
      text[len++] = c;
    text[len] = '\0';
  }
};

static void end_word(TemplateScan *scan, SimpleCommand *cmd, Word *w) {
  if (w->len == 0 && !w->expansion)
    return;
  const char *t = w->text;
  if (cmd->redirect_target) {
    cmd->redirect_target = false;
  } else if (cmd->expect_command && !cmd->no_command) {
    if (is_one_of(t, kNoCommand)) {
      cmd->no_command = true;
    } else if (is_one_of(t, kBeforeCommand)) {
      cmd->after_prefix = cmd->after_prefix || is_one_of(t, kPrefixes);
    } else if (is_assignment(t) || (cmd->after_prefix && t[0] == '-')) {
      // the command word is still to come
    } else {
      cmd->expect_command = false;
      if (w->expansion || (is_one_of(t, kBuiltins) && !is_one_of(t, kDataBuiltins)))
        scan->unsure = true;
      else if (strcmp(t, "test") == 0 || strcmp(t, "[") == 0 || strcmp(t, "printf") == 0)
        cmd->kind = SimpleCommand::kOptionNamesVariable;
      else if (strcmp(t, "export") == 0 || strcmp(t, "readonly") == 0)
        cmd->kind = SimpleCommand::kNaming;
    }
  } else if (cmd->kind == SimpleCommand::kOptionNamesVariable &&
             (strncmp(t, "-v", 2) == 0 || strncmp(t, "-R", 2) == 0)) {
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

TemplateScan scan_template(const char *tmpl) {
  TemplateScan scan;
  SimpleCommand cmd;
  Word w;
  char quote = 0;
  size_t i = 0;
  // In a multibyte locale a byte above 0x7F may take the next byte along, a quote, a backslash
  // or an operator, and the template reads otherwise than followed here.
  for (const char *p = tmpl; *p; ++p)
    scan.unsure = scan.unsure || static_cast<unsigned char>(*p) >= 0x80;
  for (; tmpl[i]; ++i) {
    char c = tmpl[i];
    if (quote == '\'') {
      if (c == '\'')
        quote = 0;
      else
        w.add(c);
      continue;
    }
    if (c == '\\') {
      if (tmpl[i + 1])
        w.add(tmpl[++i]);
      continue;
    }
    if (c == '$' || c == '`') {
      scan.unsure = scan.unsure || begins_code(tmpl + i);
      w.expansion = true;
    }
    if (quote == '"') {
      if (c == '"')
        quote = 0;
      else
        w.add(c);
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ' ' || c == '\t') {
      end_word(&scan, &cmd, &w);
    } else if (c == '<' || c == '>' || (c == '&' && tmpl[i + 1] == '>')) {
      // A redirection: a number just before it is its descriptor, not a word; the operator's
      // other characters (">>", ">&", "<<", "<>", ">|", "&>") belong to it; the next word is
      // its target. "<(" and ">(" run a command.
      if (w.len > 0 && !w.expansion && strspn(w.text, "0123456789") == w.len)
        w = Word{};
      end_word(&scan, &cmd, &w);
      while (tmpl[i + 1] && strchr("<>&|-", tmpl[i + 1]))
        ++i;
      scan.unsure = scan.unsure || tmpl[i + 1] == '(';
      cmd.redirect_target = true;
    } else if (strchr(";&|()\n", c)) {
      scan.unsure = scan.unsure || (c == '(' && tmpl[i + 1] == '('); // arithmetic
      end_word(&scan, &cmd, &w);
      end_command(&scan, &cmd, i);
    } else {
      w.add(c);
    }
  }
  end_word(&scan, &cmd, &w);
  end_command(&scan, &cmd, i);
  return scan;
}

} // namespace vardo

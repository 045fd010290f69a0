#include "extract/scan.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "lib/runtime_names.h"
#include "lib/text.h"

namespace vardo {

// Builtins that read what they are given (or what a variable they are given holds) as code, or
// assign to the variable they name (zsh's getln, yash's array), with zsh's modules (zstyle -e,
// zpty, sched evaluate strings), and history (history -s, zsh's r: history expansion re-reads).
static const char kRereading[] =
    ". source eval trap alias let mapfile readarray getopts declare typeset integer float nameref "
    "compgen complete fc emulate setopt unsetopt zmodload zstyle zpty zparseopts zformat sched "
    "vared getln array history r";
// Programs that run a shell: su, sg, runuser, capsh and script its "-c"; unshare, nsenter, newgrp,
// chroot, pkexec, fakeroot, run0 and script without a command one that reads its standard input.
// Another program may run them (chrt, setpriv, flock FILE): they are looked for in every word, as
// shells are.
static const char kShellRunners[] =
    "su sg runuser capsh unshare nsenter newgrp chroot pkexec fakeroot run0 script";

// Words after which a command still begins: reserved words (zsh's "always" too), and precommand
// words that run the command after them (their options and operands are all taken for commands,
// up to a reserved word; bash's "jobs -x" runs one), with "function", whose names come before its
// body.
static const char kBeforeCommand[] = "if then else elif do while until ! { } fi done esac always";
static const char kPrecommands[] =
    "command builtin exec noglob nocorrect - coproc nohup env time xargs nice sudo doas stdbuf "
    "timeout setsid taskset ionice function jobs";
// Shells: their "-c" argument is code, and without a script operand they read code from their
// standard input; flock hands its "-c" argument to a shell too. A name is a shell's also with a
// version or a build after it (zsh5, bash-5.2, bash-static, sh.distrib) and an "r" before it
// (rzsh, rmksh: restricted shells).
static const char kShells[] = "sh bash dash ash ksh mksh lksh oksh loksh osh pdksh pfksh posh zsh "
                              "yash ysh hush mrsh bosh csh tcsh fish sash jsh busybox flock";
// The long options a shell may take that run nothing of another's and take no argument.
static const char kShellLongOptions[] = "-- --norc --noprofile --posix --login";
// Options of test whose operand is a variable's name, or an arithmetic expression to mksh.
static const char kTestOperators[] = "-v -R -eq -ne -lt -le -gt -ge";
// Builtins whose numbers mksh evaluates as arithmetic, and the arguments that are numbers always.
static const char kNumeric[] = "shift ulimit exit return break continue logout bye";
static const char kNumbers[] = "$? $#";
// The options "set -o" may name: the others include zsh's, which make a value's globbing run
// code (extendedglob, noshglob, ...), and "posix", which "set +o" turns off in yash and with it
// yash's own hooks.
static const char kSetOptions[] =
    "errexit nounset pipefail xtrace verbose noclobber noglob allexport notify";
// The options shopt may name: how patterns match, and the last command of a pipe.
static const char kShoptOptions[] =
    "extglob nullglob dotglob failglob globstar nocaseglob nocasematch lastpipe";

static bool is_one_of(const char *word, const char *list) {
  return is_listed(word, strlen(word), list);
}

// One word as the shell would see it with its quotes taken out.
struct Word {
  char text[kTextBufferSize] = ""; // a template holds at most 1023 characters
  size_t len = 0;
  bool expansion = false;     // "$", a backquote or a leading "~": may become anything
  bool placeholder = false;   // "%o" or "%p": a value, as a name of a variable it is unknown
  bool literal_slash = false; // a "/" of the template itself: names a file, never a builtin
  bool process = false;       // holds a process substitution: names a pipe to another command
  bool quoted = false;        // holds a quote or an escape: no reserved word
  bool open = false;          // holds a quote and ends at a blank after no quote: may go on
};

// What a command does with the words after its command word.
enum class Takes : unsigned char {
  anything,
  names,   // export, readonly, local, unset, read: variables' names, literal ones only
  numbers, // shift, exit, ...: numbers that mksh evaluates
  options, // set: "-o" names an option
};

// The simple command being read.
struct Command {
  // Of the whole template: test, [, printf or print run somewhere, and a word somewhere is the
  // option "-v" or "-R" (or test's arithmetic) or gives one to a variable; case commands open.
  bool tests = false;
  bool v_word = false;
  int cases = 0;
  // Of the simple command being read.
  bool expect_command = true; // the next word may be a command
  bool precommand = false;    // after a precommand word: every word may be one
  bool program_next = false;  // the last word was a precommand word: a path now names a program
  bool loop_variable = false; // the next word is a variable of for, select or foreach
  bool loop_named = false;    // ... and one came (zsh takes "in" for the first)
  bool pattern_next = false;  // after "|" or "(" in a case: a pattern, where "esac" is no word
  bool loop_header = false;   // a for or select before its "do", which may follow at once
  Takes takes = Takes::anything;
  const char *name_options = ""; // with Takes::names, the options taken
  bool set_option = false;       // the next word is the option "set -o" names
  bool set_array = false;        // the next word is the array "set -A" names
  bool shell = false;            // a shell (or an expansion that may be one) was named
  bool script = true;            // ... and the script it reads came, or it reads none
  bool past_script = false;      // ... a named shell's script came: what follows is its own
  bool lock = false;             // ... flock, whose first operand is a file, and then "-c"
  bool option_argument = false;  // the next word belongs to a shell's "-o" or "-O"
  bool env = false;              // env, whose -S splits a word into a command
  bool sudo = false;             // sudo or doas, whose -s (and sudo's -i) run a shell...
  bool sudo_argument = false;    // ... and the next word belongs to one of their options
  bool printf = false;           // printf or print, whose "-vNAME" names a variable
  bool format_next = false;      // printf, whose format is the next word
  bool print = false;            // print, whose "-P" runs a prompt's "$(...)" in zsh
  bool test = false;             // test or [
  bool wait = false;             // wait, whose "-p" names a variable
  bool hash = false;             // hash, whose "-p" (zsh: NAME=PATH) gives a path another name
  bool shopt = false;            // shopt, whose options other than the usual ones change much
  bool cd = false; // cd, pushd, chdir or zsh's dirs, which may enter (or have popd enter) where
                   // a script is an open file (so may an operand an expansion makes, "-", which
                   // is $OLDPWD, or a second one, which mksh and zsh put in place of the first
                   // in $PWD)
  bool cd_operand = false; // ... and it has had one
  bool redirect = false;   // the next word is a redirection's target
  bool duplicate = false;  // ... of ">&" or "<&", which bash expands a second time
};

static bool is_name(const char *p, size_t len) {
  if (len == 0 || (!isalpha(static_cast<unsigned char>(*p)) && *p != '_'))
    return false;
  for (size_t i = 1; i < len; ++i)
    if (!isalnum(static_cast<unsigned char>(p[i])) && p[i] != '_')
      return false;
  return true;
}

// NAME=..., NAME+=... or NAME[...]: an assignment (or an array element) and where its name ends.
static size_t assigned_name(const Word &w, bool *element) {
  size_t n = strcspn(w.text, "+=[");
  bool name = is_name(w.text, n);
  *element = name && w.text[n] == '[';
  bool assigns = w.text[n] == '=' || (w.text[n] == '+' && w.text[n + 1] == '=');
  return name && assigns ? n : 0;
}

// A word of the form -xyz (or +xyz; zsh takes digits too) whose letters hold `letter`.
static bool option_with(const char *t, char letter) {
  if ((t[0] != '-' && t[0] != '+') || !t[1] || t[1] == '-')
    return false;
  for (const char *p = t + 1; *p; ++p)
    if (!isalnum(static_cast<unsigned char>(*p)))
      return false;
  return strchr(t + 1, letter) != nullptr;
}

// Reads the command word `w`, whose last path component is `base`. Returns true when it makes the
// template one that rereads. A program is known by its base name wherever it is installed
// (/bin/su is su); a path right after a precommand word names the program that precommand runs,
// and the words after it are that program's arguments.
static bool read_command_word(Command *cmd, const Word &w, const char *base) {
  const char *t = w.text;
  bool program = cmd->program_next && w.literal_slash && !strchr(t, '=');
  cmd->program_next = false;
  cmd->expect_command = cmd->precommand;
  if (is_one_of(t, kBeforeCommand)) {
    // A command begins after it, and no precommand word runs that one: its operands are its own.
    cmd->cases -= strcmp(t, "esac") == 0 && cmd->cases > 0 && !w.quoted && !cmd->pattern_next &&
                  !cmd->precommand;
    cmd->expect_command = true;
    cmd->precommand = false;
    return false;
  }
  // After a precommand word, or quoted, these are a program's names, no reserved words.
  cmd->cases += strcmp(t, "case") == 0 && !cmd->precommand && !w.quoted;
  if (!cmd->precommand && !w.quoted && is_one_of(t, "for select foreach")) {
    cmd->loop_variable = cmd->loop_header = true;
    return false;
  }
  // A word that may turn into another names an unknown command; a path names a program.
  if (!w.literal_slash && (w.expansion || (strpbrk(t, "*?[{~") && strcmp(t, "[") != 0)))
    return true;
  t = base;
  if (is_one_of(t, kRereading))
    return true;
  bool precommand = is_one_of(t, kPrecommands);
  // (The names after "function" and "coproc" are no programs.)
  cmd->program_next = precommand && strcmp(t, "function") != 0 && strcmp(t, "coproc") != 0;
  cmd->precommand = precommand || (cmd->precommand && !program);
  cmd->expect_command = cmd->precommand;
  cmd->print = strcmp(t, "print") == 0;
  cmd->format_next = strcmp(t, "printf") == 0;
  cmd->printf = cmd->print || cmd->format_next;
  cmd->test = strcmp(t, "test") == 0 || strcmp(t, "[") == 0;
  cmd->wait = strcmp(t, "wait") == 0;
  cmd->hash = strcmp(t, "hash") == 0;
  cmd->shopt = strcmp(t, "shopt") == 0;
  cmd->cd = is_one_of(t, "cd pushd chdir dirs");
  cmd->tests = cmd->tests || cmd->printf || cmd->test;
  cmd->name_options = strcmp(t, "read") == 0 ? "r" : strcmp(t, "unset") == 0 ? "vf" : "p";
  if (strcmp(t, "export") == 0 || strcmp(t, "readonly") == 0 || strcmp(t, "local") == 0 ||
      strcmp(t, "unset") == 0 || strcmp(t, "read") == 0)
    cmd->takes = Takes::names;
  else if (is_one_of(t, kNumeric))
    cmd->takes = Takes::numbers;
  else if (strcmp(t, "set") == 0 || strcmp(t, "shopt") == 0)
    cmd->takes = Takes::options;
  return false;
}

// Whether the command name `base` (its last path component) is a shell's.
static bool is_shell_name(const char *base) {
  char name[kTextBufferSize];
  size_t len = base[0] ? 1 + strcspn(base + 1, ".-") : 0;
  while (len > 0 && isdigit(static_cast<unsigned char>(base[len - 1])))
    --len;
  memcpy(name, base, len);
  name[len] = '\0';
  return is_one_of(name, kShells) || (name[0] == 'r' && is_one_of(name + 1, kShells));
}

// Whether `t` is one of the long options of `list` (words a blank apart) or an abbreviation of
// one, as GNU programs take them, with its "=argument" or without.
static bool abbreviates(const char *t, const char *list) {
  size_t n = strcspn(t, "=");
  for (const char *p = list; *p; p += *p == ' ') {
    size_t len = strcspn(p, " ");
    if (n >= 3 && n <= len && strncmp(t, p, n) == 0)
      return true;
    p += len;
  }
  return false;
}

// A path with a component "stdin", "stdout", "stderr", "fd" or "proc" (/dev/stdin, /dev/stderr,
// /dev/fd/N, /proc/PID/fd/N, /proc/self/environ): a name of a descriptor already open, through
// which a shell given it as its script reads what another command writes there, or of what the
// system shows of a process, its environment with the values in it. A pattern or a brace
// expansion may become such a name.
static bool names_open_descriptor(const char *t) {
  if (strpbrk(t, "*?[{"))
    return true;
  for (const char *p = t;; ++p) {
    size_t n = strcspn(p, "/");
    if (is_listed(p, n, "stdin stdout stderr fd proc"))
      return true;
    p += n;
    if (*p == '\0')
      return false;
  }
}

// Reads what a shell named in the current command does with the word `w`, whose last path
// component is `base`: "-c" runs its argument and "-s" its input as code, and the first operand is
// the script it reads, except an option's argument (what follows the script is the script's);
// a script that names an open descriptor, or a process substitution, is read from another
// command. Returns true when the template rereads.
static bool read_shell_word(Command *cmd, const Word &w, const char *base, size_t name) {
  const char *t = w.text;
  // A program named by a descriptor or by what /proc shows (/proc/self/exe is the shell running
  // the command) may be a shell under any name; an assignment and the word "{" name none.
  bool names_shell = is_shell_name(base) || (cmd->expect_command && !name && strcmp(t, "{") != 0 &&
                                             names_open_descriptor(t));
  // "-c", "-s", a long option that may mean one ("--command", yash's "--cmdline" and "--stdin",
  // zsh's "--shinstdin", flock's "--command" after its file), an option set with "-o" other than
  // the usual ones, and an option cluster with a name after its "o" ("-oSHIN_STDIN") or what no
  // option letter is.
  bool option = (t[0] == '-' || t[0] == '+') && t[1] && t[1] != '-';
  const char *o = option ? strpbrk(t + 1, "oO") : nullptr;
  if (cmd->shell && !cmd->past_script &&
      (option_with(t, 'c') || option_with(t, 's') || strcmp(t, "-") == 0 ||
       ((!cmd->script || cmd->lock) && t[0] == '-' && t[1] == '-' &&
        !is_one_of(t, kShellLongOptions)) ||
       (cmd->option_argument && !is_one_of(t, kSetOptions)) ||
       (option && !cmd->option_argument && ((o && o[1]) || !option_with(t, t[1])))))
    return true;
  // Up to its script, an expansion may become "-c", "-s" or the name of an open descriptor.
  if (cmd->shell && !cmd->script && w.expansion && !names_shell)
    return true;
  if (cmd->option_argument) {
    cmd->option_argument = false;
  } else if (cmd->shell && (t[0] == '-' || t[0] == '+')) {
    size_t len = strlen(t);
    // -o and -O name an option; mksh's -T a terminal.
    cmd->option_argument = len > 1 && t[1] != '-' && strchr("oOT", t[len - 1]);
  } else if (names_shell) {
    cmd->script = false; // a shell (busybox sh, xargs sh, find -exec sh) waits for its script
    cmd->past_script = false;
    cmd->lock = strcmp(base, "flock") == 0;
  } else if (cmd->shell) {
    if (!cmd->script && (w.process || names_open_descriptor(t)))
      return true;
    cmd->past_script = cmd->past_script || (!cmd->script && !cmd->lock);
    cmd->script = true;
  }
  cmd->shell = cmd->shell || names_shell || w.expansion;
  return false;
}

// Reads a word after the command word of a command that takes names, numbers or options.
static bool read_argument(Command *cmd, const Word &w, size_t name) {
  const char *t = w.text;
  switch (cmd->takes) {
  case Takes::names:
    if (name)
      return false; // NAME=value: the name is literal, the value data
    if (t[0] == '-')
      return strcmp(t, "--") != 0 && !(t[1] && !t[2] && strchr(cmd->name_options, t[1]));
    // read (whose options are "r") assigns to the names: not to one a feature item may not set.
    return w.expansion || w.placeholder || !is_name(t, w.len) ||
           (*cmd->name_options == 'r' && is_refused_setting(t, w.len, "", 0));
  case Takes::numbers:
    return (w.expansion || w.placeholder) && !is_one_of(t, kNumbers);
  case Takes::options: {
    // An option word an expansion makes may name any option; shopt's cdable_vars makes "cd NAME"
    // enter where $NAME leads, and the like.
    if (((t[0] == '-' || t[0] == '+') && w.expansion) ||
        (cmd->shopt && t[0] != '-' && !is_one_of(t, kShoptOptions)))
      return true;
    // "-o" names an option; mksh's "-A" (and "+A") an array, whose first element is the variable.
    if (cmd->set_option || cmd->set_array) {
      bool refused = cmd->set_option ? !is_one_of(t, kSetOptions)
                                     : !is_name(t, w.len) || is_refused_setting(t, w.len, "", 0);
      cmd->set_option = cmd->set_array = false;
      return refused;
    }
    // An "o" in a cluster names the next word ("-eo pipefail"); one with a name after it in the
    // same word ("-oNAME", "-os") is not followed.
    const char *o = option_with(t, 'o') ? strchr(t + 1, 'o') : nullptr;
    cmd->set_option = o && !o[1];
    cmd->set_array = option_with(t, 'A');
    return o && o[1];
  }
  default:
    return false;
  }
}

// Reads a word after sudo or doas, up to the command it runs (whose options are its own): -s and
// -i run a shell. An option may take the word after it (-u USER, --chdir DIR): such a word is
// passed over. Returns false when the template rereads.
static bool read_sudo_word(Command *cmd, const char *t) {
  static const char kLongWithArgument[] = "--user --group --chdir --chroot --close-from --host "
                                          "--prompt --role --type --command-timeout --other-user "
                                          "--login-class";
  if (cmd->sudo_argument) {
    cmd->sudo_argument = false;
  } else if (t[0] != '-' || strcmp(t, "--") == 0) {
    cmd->sudo = false;
  } else if (abbreviates(t, "--shell --login")) {
    return false;
  } else if (t[1] == '-') {
    cmd->sudo_argument = !strchr(t, '=') && abbreviates(t, kLongWithArgument);
  } else {
    // A cluster: its letters up to the first that takes an argument, which is the rest of the
    // word or else the next word.
    for (const char *p = t + 1; *p; ++p) {
      if (*p == 's' || *p == 'i')
        return false;
      if (strchr("ugCDhprtTURac", *p)) {
        cmd->sudo_argument = !p[1];
        break;
      }
    }
  }
  return true;
}

// Whether the reading under way keeps a quote's text in one word (reads_as_rereading).
static bool quotes_followed;

// Reads one word of the current command. Returns true when the template rereads.
static bool read_word(Command *cmd, const Word &w) {
  const char *t = w.text;
  bool element;
  size_t name = assigned_name(w, &element);
  // An assignment anywhere, or an element anywhere (and "[x]=" of a compound assignment
  // "a=([x]=1)"): nothing here tells a command's arguments from the shell's own words.
  if (element || (name && is_refused_setting(t, name, t + name + 1, strlen(t + name + 1))) ||
      (t[0] == '[' && strchr(t, '=')))
    return true;
  // A ">&" target and a printf format with a conversion that a quote may carry past a blank go
  // on in the next word. Where quotes are looked through, the operator may have stood inside
  // one: before the command word, its target is read as that word too.
  if (cmd->redirect) {
    cmd->redirect = w.open && cmd->duplicate;
    bool rereads = cmd->duplicate && (w.expansion || w.placeholder);
    if (rereads || quotes_followed || !cmd->expect_command)
      return rereads;
  }
  // zsh takes several variables before "in" (or "do", or a "(" foreach's list begins with), and
  // "in" for the first; a word that is no name ends them and is read as any other, and so is a
  // shell's or a rereading builtin's name, which a misread "for" must not hide.
  bool runs_code = is_shell_name(t) || (strcmp(t, ".") != 0 && is_one_of(t, kRereading));
  if (cmd->loop_variable && is_name(t, w.len) && !runs_code &&
      (!cmd->loop_named || (strcmp(t, "in") != 0 && strcmp(t, "do") != 0))) {
    cmd->loop_named = true;
    return is_refused_setting(t, w.len, "", 0);
  }
  cmd->loop_variable = false;
  // Nor a word of a for's or select's list: the quotes looked through may have made the loop.
  if (cmd->loop_header && runs_code)
    return true;
  if (cmd->loop_header && strcmp(t, "do") == 0) {
    cmd->loop_header = false;
    cmd->expect_command = true;
    return false;
  }
  // "-v" (or test's "-R") names a variable, given to test or printf however it gets there; the
  // operands of test's arithmetic operators are evaluated by mksh.
  const char *option = name ? t + name + 1 : t;
  // An expansion may become any option of test or print.
  if (cmd->print && w.expansion)
    return true;
  cmd->v_word = cmd->v_word || (cmd->test && w.expansion) || is_one_of(option, kTestOperators) ||
                (name && (strncmp(option, "-v", 2) == 0 || strncmp(option, "-R", 2) == 0));
  // zsh's printf evaluates the operands of conversions other than %s and %b (and of a "*"
  // width) as arithmetic: only those two are taken, in a format that holds no expansion and no
  // value.
  if (cmd->format_next && strcmp(t, "--") != 0) {
    cmd->format_next = w.open && strchr(t, '%');
    if (w.expansion || w.placeholder)
      return true;
  }
  const char *p = cmd->printf && !w.placeholder ? strchr(t, '%') : nullptr;
  while (p) {
    p += 1 + strspn(p + 1, "-+ #0123456789.");
    cmd->v_word = cmd->v_word || !*p || !strchr("sb%", *p);
    p = *p ? strchr(p + 1, '%') : nullptr;
  }
  // print's options other than these (zsh's -P runs a prompt's "$(...)", -v assigns, -f is a
  // format, mksh's -A ...), test's -t (a descriptor zsh evaluates).
  if ((cmd->printf && (strncmp(t, "-v", 2) == 0 || option_with(t, 'v'))) ||
      (cmd->print && t[0] == '-' && t[1 + strspn(t + 1, "rnlNRe-")]) ||
      (cmd->test && strcmp(t, "-t") == 0) || (cmd->wait && strncmp(t, "-p", 2) == 0) ||
      (cmd->hash && (option_with(t, 'p') || strchr(t, '='))) ||
      (cmd->cd && !cmd->expect_command &&
       (names_open_descriptor(t) || w.expansion || strcmp(t, "-") == 0 ||
        (t[0] != '-' && std::exchange(cmd->cd_operand, true)))))
    return true;
  // find's -execdir runs a command where it finds a file, as env -C does.
  if (is_one_of(t, "-execdir -okdir"))
    return true;
  // env -S splits a string into words; env -C enters a directory, as cd does.
  if (cmd->env && (option_with(t, 'S') || option_with(t, 'C') || abbreviates(t, "--split-string") ||
                   abbreviates(t, "--chdir")))
    return true;
  if (cmd->sudo && !read_sudo_word(cmd, t))
    return true;
  const char *base = strrchr(t, '/') ? strrchr(t, '/') + 1 : t;
  if (is_one_of(base, kShellRunners))
    return true;
  // env and sudo behind any other program (chrt, setpriv) as well.
  cmd->env = cmd->env || strcmp(base, "env") == 0;
  cmd->sudo = cmd->sudo || strcmp(base, "sudo") == 0 || strcmp(base, "doas") == 0;
  if (read_shell_word(cmd, w, base, name))
    return true;
  if (cmd->expect_command && !name)
    return read_command_word(cmd, w, base);
  return !cmd->expect_command && read_argument(cmd, w, name);
}

// "${" is followed by a name (or a positional parameter) and then "}" or an operator that takes
// a word, or it is "${#NAME}". Anything else ("${!x}", "${x[...]}", "${x@P}", "${x:1}", "${@:x}")
// evaluates arithmetic, names or prompts, and "${NAME=word}" assigns to NAME, which must not be
// a name of lib/runtime_names.h.
static bool is_plain_parameter(const char *p) {
  if (*p == '#')
    ++p;
  size_t n = 0;
  while (isalnum(static_cast<unsigned char>(p[n])) || p[n] == '_')
    ++n;
  if (n == 0 ||
      (isdigit(static_cast<unsigned char>(*p)) && !isdigit(static_cast<unsigned char>(p[n - 1]))))
    return false;
  const char *op = p + n;
  if (*op == ':')
    ++op;
  if (*op == '=' && is_refused_setting(p, n, "", 0))
    return false;
  return (op == p + n && *op == '}') || (*op && strchr("-=+?", *op)) ||
         (op == p + n && *op && strchr("#%/^,", *op));
}

// Text that reads again wherever it stands.
static bool holds_rereading_text(const char *tmpl) {
  for (const char *p = tmpl; *p; ++p) {
    if ((p[0] == '(' && p[1] == '(') || (p[0] == '[' && p[1] == '[') ||
        (p[0] == '$' && p[1] == '['))
      return true;
    if (p[0] == '$' && p[1] == '{' && !is_plain_parameter(p + 2))
      return true;
  }
  return false;
}

// Ends the word being read; returns true when it makes the template one that rereads.
static bool end_word(Command *cmd, Word *w) {
  bool rereads = w->len > 0 && read_word(cmd, *w);
  *w = Word{};
  return rereads;
}

// A new simple command, keeping what is known of the whole template.
static Command next_command(const Command &cmd) {
  return Command{cmd.tests, cmd.v_word, cmd.cases};
}

// Ends a simple command: a shell still waiting for its script reads code from its input.
static bool end_command(Command *cmd) {
  bool rereads = !cmd->script;
  *cmd = next_command(*cmd);
  return rereads;
}

// Where the reading is: the command and word being read, and those that a "(...)" or a
// backquote interrupted, to go on with when it ends. Inside a case command, whose patterns end
// with ")", parentheses are taken for no more than the ends of commands.
struct Reading {
  static constexpr int kMaxDepth = 8;
  struct Frame {
    Command cmd;
    Word w;
    bool backquote;
  };
  Frame frame[kMaxDepth];
  int depth = 0;
  Command cmd;
  Word w;
};

// Opens a "(" or a backquote: a new command begins. Returns true when the nesting is deeper than
// is followed.
static bool open_nesting(Reading *r, bool backquote) {
  if (r->depth == Reading::kMaxDepth)
    return true;
  r->cmd.loop_variable = false; // zsh's "for x (list)": the variables have ended
  r->frame[r->depth++] = Reading::Frame{r->cmd, r->w, backquote};
  r->cmd = next_command(r->cmd);
  r->w = Word{};
  return false;
}

// Ends what a ")" or a backquote closes, and goes on with the command and word it interrupted
// (the word now holds an expansion). Returns true when what ends rereads.
static bool close_nesting(Reading *r) {
  bool rereads = end_word(&r->cmd, &r->w) || end_command(&r->cmd);
  Reading::Frame &f = r->frame[--r->depth];
  Command whole = next_command(r->cmd);
  r->cmd = f.cmd;
  r->cmd.tests = whole.tests;
  r->cmd.v_word = whole.v_word;
  r->cmd.cases = whole.cases;
  // A "(" in no word was a subshell's, or a function's "()": a command may follow, and the
  // command it stands in goes on (a shell named before it still waits for its script).
  if (f.w.len == 0 && !f.backquote) {
    r->cmd.expect_command = true;
    r->w = Word{};
    return rereads;
  }
  r->w = f.w;
  r->w.expansion = true;
  if (r->w.len == 0)
    r->w.text[r->w.len++] = '`'; // a word that a backquote began is read at its end too
  return rereads;
}

// Reads one character that ends a command, or opens or closes a nesting.
static bool read_boundary(Reading *r, char c, char before) {
  if (c == '`' && r->depth > 0 && r->frame[r->depth - 1].backquote)
    return close_nesting(r);
  // The word before a ")" is read first: an "esac" there ends its case before the ")" is judged.
  if (c == ')' && end_word(&r->cmd, &r->w))
    return true;
  bool in_case = r->cmd.cases > 0;
  // A substitution ("$(", a backquote, and the process substitutions "<(", ">(" and zsh's "=("
  // at a word's start) goes on with the word it stands in; any other "(" ends the word before it.
  char last = r->w.len > 0 ? r->w.text[r->w.len - 1] : '\0';
  r->w.process =
      r->w.process || (c == '(' && (last == '<' || last == '>' || (last == '=' && r->w.len == 1)));
  bool substitution = c == '`' || last == '$' || r->w.process;
  if (c == '`' || (c == '(' && !in_case))
    return (!substitution && end_word(&r->cmd, &r->w)) || open_nesting(r, c == '`');
  if (c == ')' && !in_case && r->depth > 0 && !r->frame[r->depth - 1].backquote)
    return close_nesting(r);
  bool rereads = end_word(&r->cmd, &r->w) || end_command(&r->cmd);
  // (";|" and ";&" end a case item: a pattern follows them, where "esac" is the word.)
  r->cmd.pattern_next = in_case && ((c == '|' && before != ';') || c == '(');
  return rereads;
}

// Adds the character `c` of the template at `p` to the word being read.
static void add_to_word(Word *w, char c, const char *p) {
  if (w->len + 1 >= sizeof w->text)
    return;
  w->expansion = w->expansion || c == '$' || (c == '~' && w->len == 0); // ~- is $OLDPWD
  w->placeholder = w->placeholder || (c == '%' && (p[1] == 'o' || p[1] == 'p'));
  w->literal_slash = w->literal_slash || c == '/';
  w->text[w->len++] = c;
}

// Whether the reading is inside backquotes, however deep.
static bool inside_backquotes(const Reading &reading) {
  for (int i = 0; i < reading.depth; ++i)
    if (reading.frame[i].backquote)
      return true;
  return false;
}

// 9 KiB: not on the stack.
static Reading r;

// Whether a "${" stands before `p` on its line of `tmpl`: `p` may be inside it (where a "#"
// begins no comment), which is not followed further.
static bool after_parameter(const char *tmpl, const char *p) {
  for (const char *q = p; q - tmpl >= 2 && q[-1] != '\n'; --q)
    if (q[-1] == '{' && q[-2] == '$')
      return true;
  return false;
}

// Reads the template once. `quote_aware`: a quote keeps everything up to its partner in one
// word; otherwise quotes are looked through and blanks and operators inside them end words too.
// The two readings miss different things, and a template passes only when neither finds a
// construct.
static bool reads_as_rereading(const char *tmpl, bool quote_aware) {
  r = Reading{};
  quotes_followed = quote_aware;
  char quote = 0;
  for (const char *p = tmpl;; ++p) {
    char c = *p;
    bool rereads = false;
    if (c == '\0') {
      // A nesting or a case still open at the end was misread: the shell would have refused it.
      // (Each is looked at in the reading that a quote in a comment cannot throw off.)
      rereads = end_word(&r.cmd, &r.w) || end_command(&r.cmd) ||
                (quote_aware ? r.depth > 0 : r.cmd.cases > 0);
      return rereads || (r.cmd.tests && r.cmd.v_word);
    } else if (quote_aware && !quote && c == '#' && r.w.len == 0 && !r.w.quoted &&
               (p == tmpl || strchr(" \t\n;&|()", p[-1])) &&
               !(p - tmpl >= 2 && p[-1] == '(' && strchr("@?*+!", p[-2])) &&
               !after_parameter(tmpl, p)) {
      // A comment, to its line's end (inside backquotes, to the one that closes them): a quote
      // in it is no quote. Inside a pattern "@(...)" of bash and mksh, and maybe inside "${...}",
      // a "#" begins none: not passed over there.
      while (p[1] && p[1] != '\n' && !(p[1] == '`' && inside_backquotes(r)))
        ++p;
    } else if (quote_aware && quote && c != quote) {
      if (quote == '"' && c == '\\' && p[1])
        c = *++p; // inside "...", a backslash keeps a quote too
      add_to_word(&r.w, c, p);
    } else if (c == '\'' || c == '"') {
      quote = quote ? 0 : c; // only followed when quote_aware
      r.w.quoted = true;
    } else if (c == '\\' && inside_backquotes(r)) {
      // Inside backquotes a backslash is taken out before what they hold is read as commands
      // ("\\" leaves one for that reading, "\`" nests backquotes): it is passed over, and an
      // escaped backquote begins a command.
      if (p[1] == '`')
        ++p, rereads = read_boundary(&r, ';', '\0');
    } else if (c == '\\') {
      // An escaped character is taken as it is.
      r.w.quoted = true;
      if (p[1])
        ++p, add_to_word(&r.w, *p, p);
    } else if (c == '\n' || strchr(";&|()`", c)) {
      rereads = read_boundary(&r, c, p > tmpl ? p[-1] : '\0');
    } else if (c == ' ' || c == '\t' || (!quote_aware && (c & 0x80))) {
      // (yash takes the characters its locale calls blanks for blanks: U+2003 ends a word)
      r.w.open = r.w.quoted && p[-1] != '"' && p[-1] != '\'';
      rereads = end_word(&r.cmd, &r.w);
    } else if ((c == '<' || c == '>') && p[1] == '(') {
      add_to_word(&r.w, c, p); // a process substitution, a word of its own or part of one
    } else if (c == '<' || c == '>' || (c == '&' && p[1] == '>')) {
      // A number just before the operator is its descriptor, not a word; "&", "|" and "!" after
      // it belong to it (">&", ">|", ">!"), and ">&-" closes a descriptor, taking no word.
      // bash's "{NAME}>" assigns a descriptor to NAME, an array element's too.
      if (r.w.len > 0 && r.w.text[0] == '{')
        return true;
      if (r.w.len > 0 && strspn(r.w.text, "0123456789") == r.w.len)
        r.w = Word{};
      rereads = end_word(&r.cmd, &r.w);
      p += strspn(p + 1, "<>&|!"); // zsh's ">!" clobbers as ">|" does
      r.cmd.redirect = *p != '&' || p[1] != '-';
      r.cmd.duplicate = *p == '&';
      p += r.cmd.redirect ? 0 : 1;
    } else {
      add_to_word(&r.w, c, p);
    }
    if (rereads)
      return true;
  }
}

// The most backslash-newlines a template may hold that are read both joined and apart.
constexpr int kMostJoins = 10;

// The template into `joined`, with its backslash-newlines (a backslash not itself escaped, before
// a newline) joined, but the n-th of those the shell may leave apart joined only when bit n of
// `joins` is set, else left as a newline alone. Those are a backslash-newline on a line with a
// "#" before it, which may end a comment, or after a "<<", which may end a here-document, and an
// escaped backslash before a newline, which the shell inside backquotes reads as one. Returns how
// many of those there are. (Elsewhere the shell joins, or leaves the next line as data in single
// quotes.)
static int join_lines(const char *tmpl, unsigned joins, char (&joined)[kTextBufferSize]) {
  size_t n = 0;
  int count = 0;
  bool hash = false, here = false; // a "#" on this line, a "<<" before
  for (const char *p = tmpl; *p && n + 3 < sizeof joined; ++p) {
    int skip = p[0] == '\\' && p[1] == '\n'                   ? 1
               : p[0] == '\\' && p[1] == '\\' && p[2] == '\n' ? 2
                                                              : 0;
    if (skip && ((skip == 1 && !hash && !here) || (joins >> count++ & 1))) {
      p += skip;
      continue;
    }
    if (skip == 1)
      ++p; // the newline alone
    else if (*p == '\\' && p[1])
      joined[n++] = *p++;
    const char *next = p + 1; // past backslash-newlines: "<", one, "<" is "<<" too
    while (next[0] == '\\' && next[1] == '\n')
      next += 2;
    here = here || (*p == '<' && *next == '<');
    hash = *p != '\n' && (hash || *p == '#');
    joined[n++] = *p;
  }
  joined[n] = '\0';
  return count;
}

static bool reads_again(const char *text) {
  return holds_rereading_text(text) || reads_as_rereading(text, false) ||
         reads_as_rereading(text, true);
}

bool rereads_as_code(const char *tmpl) {
  // Whether a "#" begins a comment or a line ends a here-document depends on quotes and nestings,
  // which the readings may take otherwise than the shell: the template passes only when it does
  // not reread with the backslash-newlines the shell may leave apart joined and left apart, in
  // every combination.
  static char joined[kTextBufferSize];
  int count = join_lines(tmpl, 0, joined);
  if (count > kMostJoins)
    return true;
  for (unsigned joins = 0; joins < 1u << count; ++joins) {
    join_lines(tmpl, joins, joined);
    if (reads_again(joined))
      return true;
  }
  return false;
}

} // namespace vardo

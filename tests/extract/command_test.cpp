#include "extract/command.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/process.h"
#include "support/fork.h"
#include "support/tool.h"

namespace vardo {
namespace {

struct Expansion {
  std::string text, shown, err; // text "(null)" when refused
};

// Expands with the working directory `dir` as %p, in a child that catches the messages.
Expansion expand(const std::string &tmpl, const std::string &out_name,
                 const std::string &dir = "/tmp") {
  auto r = test::run_forked([&] {
    process.program_name = "vardo";
    static ExpandedCommand cmd;
    if (expand_template(tmpl.c_str(), {out_name.c_str(), dir.c_str()}, &cmd) < 0) {
      printf("(null)");
      return;
    }
    printf("%s%c%s", cmd.text, 0, cmd.shown);
  });
  size_t nul = r.out.find('\0');
  if (nul == std::string::npos)
    return {r.out, "", r.err};
  return {r.out.substr(0, nul), r.out.substr(nul + 1), r.err};
}

std::string not_data(const std::string &program, const std::string &tmpl) {
  return program + ": a value would not be data where this command puts it: " + tmpl + "\n";
}

TEST(ExpandTemplate, Placeholders) {
  EXPECT_EQ(expand("cat > %p/%o", "stdout").text, "cat > /tmp/stdout");
  EXPECT_EQ(expand("cat > %p/%o", "data.tar", "/").text, "cat > //data.tar");
  EXPECT_EQ(expand("%o and %o", "x").text, "x and x");
  EXPECT_EQ(expand("tar xf -", "x").text, "tar xf -");
  EXPECT_EQ(expand("", "x").text, "");
}

TEST(ExpandTemplate, NoEscapeAndOtherPercentSigns) {
  EXPECT_EQ(expand("date +%d", "x").text, "date +%d");
  EXPECT_EQ(expand("a %% b", "x").text, "a %% b");
  EXPECT_EQ(expand("%%o", "x").text, "%%o"); // "o" after a pair is no placeholder
  EXPECT_EQ(expand("100%", "x").text, "100%");
}

// A value that is not plain never enters the command: a reference to the variable that holds it
// does, written for its quoting. What is shown holds the value in its place.
TEST(ExpandTemplate, ValuesThatAreNotPlainGoInAsReferences) {
  const struct {
    const char *tmpl, *value, *text, *shown;
  } cases[] = {
      {"cat > '%o'", "a b; rm -rf /", "cat > ''\"${VARDO_O?}\"''", "cat > 'a b; rm -rf /'"},
      {"cat > %p/%o", "it's here", "cat > /tmp/\"${VARDO_O?}\"", "cat > /tmp/it's here"},
      {"cat > \"%o\"", "$x\"", "cat > \"${VARDO_O?}\"", "cat > \"$x\"\""},
      {"cat > \"%p/%o\"", "it's", "cat > \"/tmp/${VARDO_O?}\"", "cat > \"/tmp/it's\""},
      {"echo \"$(basename %o)\"", "a b", "echo \"$(basename \"${VARDO_O?}\")\"",
       "echo \"$(basename a b)\""},
      {"true # it's %o\ncat > %o", "a b", "true # it's \"${VARDO_O?}\"\ncat > \"${VARDO_O?}\"",
       "true # it's a b\ncat > a b"},
      {"mv {%o,%o.bak}", "x,y", "mv {\"${VARDO_O?}\",\"${VARDO_O?}\".bak}", "mv {x,y,x,y.bak}"},
      {"printf '[%%s]' x %o y", "", "printf '[%%s]' x \"${VARDO_O?}\" y", "printf '[%%s]' x  y"},
      // After the ")" of a subshell, a case pattern or a function, a "#" begins a comment; after
      // a substitution's it goes on with the word.
      {"(true)# it's\ncat > %o # that's all", "a b",
       "(true)# it's\ncat > \"${VARDO_O?}\" # that's all", "(true)# it's\ncat > a b # that's all"},
      {"case x in (x)#'\n:;; esac\ncat > %o #'", "a b",
       "case x in (x)#'\n:;; esac\ncat > \"${VARDO_O?}\" #'",
       "case x in (x)#'\n:;; esac\ncat > a b #'"},
      {"f()#'\n( : ); cat > %o #'", "a b", "f()#'\n( : ); cat > \"${VARDO_O?}\" #'",
       "f()#'\n( : ); cat > a b #'"},
      {"echo $(true)#'%o' <(true)#'%o'", "a b",
       "echo $(true)#''\"${VARDO_O?}\"'' <(true)#''\"${VARDO_O?}\"''",
       "echo $(true)#'a b' <(true)#'a b'"},
  };
  // Before the command, a check of the variable that a shell which dropped it fails on at once.
  const std::string guard = ": \"${VARDO_O?}\"; ";
  for (const auto &c : cases) {
    Expansion e = expand(c.tmpl, c.value);
    EXPECT_EQ(e.text, guard + c.text) << c.tmpl;
    EXPECT_EQ(e.shown, c.shown) << c.tmpl;
    EXPECT_EQ(e.err, "") << c.tmpl;
  }
  // The references count toward the limit, and so do the values where they are shown.
  std::string name(1022, ' ');
  EXPECT_EQ(expand("echo %o", name).text, guard + "echo \"${VARDO_O?}\"");
  EXPECT_EQ(expand("cd %p && cat > %o", "a b", "/tmp/c d").text,
            ": \"${VARDO_O?}\" \"${VARDO_P?}\"; cd \"${VARDO_P?}\" && cat > \"${VARDO_O?}\"");
  EXPECT_EQ(expand("echo %o%o", name).text, "(null)");
}

// Templates and values that worked before values went into variables expand to the same bytes.
TEST(ExpandTemplate, PlainValuesExpandAsBefore) {
  struct {
    const char *tmpl, *out_name, *expected;
  } cases[] = {
      {"cat > %p/%o", "data.tar", "cat > /tmp/data.tar"},
      {"cat > \"%p\"/%o", "a-1.0_x+y@z%=,:", "cat > \"/tmp\"/a-1.0_x+y@z%=,:"},
      {"cat > '%p/%o'", "v2.tar.gz", "cat > '/tmp/v2.tar.gz'"},
      {"gzip -dc > \"%p/%o\" && echo 100%% done", "f", "gzip -dc > \"/tmp/f\" && echo 100%% done"},
      {"tar xf - -C %p \\%o", "sub/dir", "tar xf - -C /tmp \\sub/dir"},
      {"echo \"it's %o\"; echo '\"%o\"'", "x", "echo \"it's x\"; echo '\"x\"'"},
      {"mv {%o,%o.bak}", "x.y", "mv {x.y,x.y.bak}"},
      {"mv %o,old", "x,y", "mv x,y,old"},
      {"echo \\%o \"$%o\"", "HOME", "echo \\HOME \"$HOME\""},
      {"cat <<EOF > %o\n%o\nEOF", "ab", "cat <<EOF > ab\nab\nEOF"},
  };
  for (const auto &c : cases) {
    Expansion e = expand(c.tmpl, c.out_name);
    EXPECT_EQ(e.text, c.expected) << c.tmpl;
    EXPECT_EQ(e.shown, c.expected) << c.tmpl;
  }
}

// Where the quoting cannot be told, a value that is not plain is refused with a message and
// nothing runs; a plain value is still inserted as it is.
TEST(ExpandTemplate, WhereTheQuotingCannotBeToldValuesThatAreNotPlainAreRefused) {
  for (const char *tmpl : {"cat <<EOF\n%o\nEOF",
                           "cat <<'EOF'\n%o\nEOF",
                           "cat <<-EOF\n\t%o\n\tEOF",
                           "echo \"${X:-%o}\"",
                           "echo $'%o'",
                           "echo $\"%o\"",
                           "echo \\%o",
                           "echo \"\\%o\"",
                           "echo $%o",
                           "echo \"$%o\"",
                           "cat <\\\n<EOF\n%o\nEOF",
                           "echo `basename %o`",
                           "echo \"`basename %o`\"",
                           "cat <<E\nx\nE\necho %o",
                           "cat >/dev/null <<A; cat >x <<B\nA\necho %o\nB",
                           "tee x $(:)#<<EOF\necho %o\nEOF",
                           "echo $'x' %o",
                           "echo ${x-\"}\"} %o",
                           "printf %s \"${x-\\}'%o'}\"",
                           "echo ${x-$(echo })#'%o'}",
                           "echo ${x-{} $(echo })#'%o'",
                           "echo \"$(case x in x) echo %o;; esac)\"",
                           ": \"$(cas\\\ne y in y) touch %o ;; esac)\"",
                           "echo 'unclosed %o",
                           "printf '[%s]' $\\\n'It\\'s' \"%o\"",
                           "echo $\\\n{x-\"}\"} %o",
                           "printf '<%s>' `:'`'`\"' %o '\"`'`'`",
                           ": @(#x|y)'\n\"' ; printf '[%s]\\n' %o\n\")",
                           "x\u2003#'\necho %o"}) {
    Expansion e = expand(tmpl, "x;touch PWNED;y");
    EXPECT_EQ(e.text, "(null)") << tmpl;
    EXPECT_EQ(e.err, not_data("vardo", tmpl));
    EXPECT_NE(expand(tmpl, "x.tar").text, "(null)") << tmpl;
  }
  // On the line of a here-document's "<<", before its body, and in a here-string, the quoting is
  // known; after it, nothing is followed, and a plain value goes in as it stands.
  EXPECT_EQ(expand("cat <<E > %o\nx\nE", "a b").text,
            ": \"${VARDO_O?}\"; cat <<E > \"${VARDO_O?}\"\nx\nE");
  EXPECT_EQ(expand("cat <<E\n%o\nE\necho %o", "ab").text, "cat <<E\nab\nE\necho ab");
  EXPECT_EQ(expand("cat <<< %o; echo %o", "a b").text,
            ": \"${VARDO_O?}\"; cat <<< \"${VARDO_O?}\"; echo \"${VARDO_O?}\"");
}

// Constructs that read text again as code take no placeholder at all, plain or not, anywhere in
// the template (a value in a variable reaches them from anywhere); the same templates without a
// placeholder are not refused. The installers' usual commands are not such constructs.
TEST(ExpandTemplate, ConstructsThatReadTextAgainTakeNoPlaceholder) {
  const char *const rereading[] = {
      "eval echo %p",
      "noglob eval echo installing from %p",
      "nocorrect eval echo %p",
      "emulate sh -c \"echo installing from %p\"",
      "x=%p; eval \"$x\"",
      ". %p/env.sh",
      "source ./env; cp x %p",
      "trap 'echo %p' EXIT",
      "alias x=':'\nx %p",
      "let n=1; cp x %p",
      "echo $((1)) %p",
      "((n=1)); cp x %p",
      "[[ -d %p ]]",
      "a[%p]=1",
      "x=%p; echo \"${a[x]}\"",
      "read \"$x\"; cp %p x",
      "read -a x; cp %p x",
      "mapfile x; cp %p x",
      "getopts a x; cp %p x",
      "printf -v x %p",
      "printf -vx %p",
      "test -v %p",
      "[ -v x ] || cp %p y",
      "o=-v; test $o %p",
      "declare x=%p",
      "typeset x=%p",
      "export %p",
      "readonly -a A=%p",
      "local -n r=%p",
      "sh -c \"cp x %p\"",
      "bash -ec 'cp x %p'",
      "busybox sh -c \"cp x %p\"",
      "find . -exec sh -c 'cp {} %p' \\;",
      "echo cp x %p | sh",
      "sh <<EOF\ncp x %p\nEOF",
      "env -S 'sh -c \"cp x %p\"'",
      "su -c \"cp x %p\"",
      "command eval cp x %p",
      "time eval cp x %p",
      "E=eval; $E cp x %p",
      "{eval,x} %p",
      "PS4=%p; set -x",
      "export PS4=x; cp %p y",
      "OPTIND=%p",
      "RANDOM=1; cp %p x",
      "for PS4 in %p; do :; done",
      "LC_ALL=$x cp %p y",
      "echo \"${x@P}\" %p",
      "echo \"${!x}\" %p",
      "echo \"${x:1}\" %p",
      "unset \"a[%p]\"",
      "compgen -W %p",
      "echo ${@:x} %p",
      // What attacks found past earlier versions of this list: a line joined by a backslash,
      // a quoted blank before the command, an option's argument before "-c", a shell named
      // by an expansion, and what bash, zsh, mksh and yash each read again.
      "ev\\\nal echo %p",
      "MSG='Installing now' eval echo %p",
      "sh -o errexit -c \"echo %p\"",
      "bash +O extglob -c 'echo %p'",
      "find . -exec \"$0\" -c \"echo %p\" \\;",
      "d=%p; echo $(\\\n(${d##*/}))",
      "coproc eval echo %p; wait",
      "- eval echo %p",
      "d=%p; sleep 0 & wait -p \"${d##*/}\" $!",
      "d=%p; integer n=${d##*/}",
      "d=%p; nameref r=${d##*/}",
      "foreach PATH (%p)\nls\nend",
      "setopt extendedglob noshglob; d=%p; ls -d $d",
      "set +o shglob; ls %p",
      ": ${CDPATH:=%p}",
      // The reserved words "function" (its names, then its body) and zsh's "always".
      "function setup { eval \"cd %p\"; }; setup",
      "function a b { eval \"cd %p\"; }",
      "function setup() { eval \"cd %p\"; }; setup",
      "{ true; } always { eval \"cd %p\"; }",
      // A command named by a backquote substitution.
      "`printf eval` \"cd %p\"",
      "x; `printf eval` \"cd %p\"",
      // A shell whose script is a descriptor already open, under any of its names.
      "echo \"cd %p\" | sh /dev/stdin",
      "echo \"cd %p\" | bash -e /dev/fd/0",
      "sh /proc/self/fd/0 <<< \"cd %p\"",
      "sh //proc/$$/fd/3 3<<EOF\ncd %p\nEOF",
      "busybox sh /dev/./stdin < list; cp x %p",
      "echo \"cd %p\" | sh /dev/s?din",
      "sh /dev/{stdin,null} <<< \"cd %p\"",
      // ... or whose script or options an expansion gives, which may become any of them.
      "F=/dev/stdin; echo \"echo %p\" | sh \"$F\"",
      "echo \"echo %p\" | sh \"$(echo /dev/stdin)\"",
      "C=-c; sh $C \"echo %p\"",
      "set -- -c; sh \"$@\" \"echo %p\"",
      "sh -\"$@\"c \"echo %p\"",
      // Shells by other names, and the commands that hand their argument to one.
      "zsh5 -c \"echo %p\"",
      "rmksh -c \"echo %p\"",
      "/usr/bin/bash-5.2 -c \"echo %p\"",
      "env --s=\"sh -c 'echo %p'\"",
      "env --split=\"sh -c 'echo %p'\"",
      "sg nogroup \"echo %p\"",
      "echo \"echo %p\" | unshare",
      "echo \"echo %p\" | chroot /",
      "capsh -- -c \"echo %p\"",
      "echo \"echo %p\" | newgrp",
      "echo \"echo %p\" | sudo -s",
      "tcsh -c \"echo %p\"",
      "bash-static -c \"echo %p\"",
      "sh.distrib -c \"echo %p\"",
      "yash --cmdline \"echo %p\"",
      "yash -o cmdline \"echo %p\"",
      "echo \"echo %p\" | zsh --shinstdin ./x",
      "echo \"echo %p\" | zsh --bsdecho /dev/stdin ./x",
      // ... or a process substitution, whose parentheses leave the command they stand in.
      "sh <(echo \"cd %p\")",
      "bash -u <(echo \"cd %p\")",
      "sh < <(echo \"cd %p\")",
      "sh /<(echo \"cd %p\")",
      "sh =(echo \"cd %p\")",
      "case x in x) sh <(echo \"cd %p\");; esac",
      "echo \"cd %p\" | sh (x)",
      // zsh's prompt expansion, which runs a "$(...)" in the value when zsh is sh.
      "print -P \"installing into %p\"",
      "builtin print -rP -- %p",
      // Other shells, and programs that hand a "-c" to one or run one on their input.
      "hush -c \"cd %p\"",
      "ksh93 -c \"cd %p\"",
      "flock /tmp/lock -c \"cd %p\"",
      "runuser -u nobody -- cp x %p",
      "echo \"cd %p\" | script -q /dev/null",
      "float x=%p",
      // Programs known by their base name wherever they are installed.
      "/bin/su -c \"cp x %p\"",
      "sudo /usr/sbin/capsh -- -c \"echo %p\"",
      "/usr/bin/env -S 'sh -c \"cp x %p\"'",
      "/usr/bin/nohup eval cp x %p",
      // A precommand's option may take the path after it as its argument.
      "sudo -D /opt eval cp x %p",
      // A line that ends in an escaped backslash, or in a comment, does not go on.
      "echo default path: C:\\\\\neval \"cd %p\"",
      "# install into the current folder \\\neval \"cd %p\"",
      "printf \"echo %s\\n\" %p | sh /dev/stderr 2<&0",
      "set -m; STTY=\"-F %p\" /bin/true",
      "zmodload zsh/zutil; zstyle -e :x y \"reply=(%p)\"; zstyle -s :x y v",
      "zpty -b w \"echo %p\"",
      "echo \"cd %p\" | doas -s",
      "echo \"cd %p\" | pkexec",
      "echo \"cd %p\" | fakeroot",
      "loksh -c \"cd %p\"",
      "ysh -c \"cd %p\"",
      "pfksh -c \"cd %p\"",
      // Where the readings once fell out of step with the shells: quotes the join misread, a
      // "#" that begins no comment, a program named by a path after env, a function's body.
      "echo \"$(echo \"it's\")\" && \\\n  eval \"cd %p\"",
      "echo $(true)# ; ev\\\nal \"%p\"",
      "env /a=b su -c \"echo %p\"",
      "function /x { eval \"%p\"; }; /x",
      // Programs that run a shell, behind any other program, and names of what the shell reads.
      "flock /tmp/l su --command=\"echo %p\"",
      "chrt -o 0 su -c \"echo %p\"",
      "printf '%s\\n' %p | { read -r PS4; set -x; :; }",
      "sudo -u root -s \"echo %p\"",
      "sh ./install.sh sh -c \"echo %p\"",
      "case x in $(eval \"%p\")) ;; esac",
      "\"case\" x in; eval \"%p\"",
      "echo \"$(echo \"it's\")\" # \\\neval \"cd %p\"",
      "zsh -1c \"echo %p\"",
      "printf '%s\\n' %p | zsh -oSHIN_STDIN x",
      "flock /tmp/l --command \"echo %p\"",
      "chrt -o 0 script -qc \"echo %p\" /dev/null",
      "chrt -o 0 env -S\"sh -c 'echo %p'\"",
      "printf '%s\\n' %p | sudo -uroot -s",
      "printf '%s\\n' %p | sudo --preserve-env -s",
      "printf '%s\\n' %p | chrt -o 0 doas -s",
      "mksh -T /dev/tty2 -c \"echo %p\"",
      // Other ways the shells assign a variable, or define an alias.
      "BASH_ALIASES=(f 'echo %p')\nf",
      "set -A PS4 %p; set -x; :",
      "print -rv PS4 %p; set -x; :",
      "set +o posix; array YASH_AFTER_CD \"echo %p\"; cd .",
      "shopt -os history histexpand\nhistory -s %p\n!!",
      "print -s %p; print -s x; r 1",
      "x=%p; set -eo extendedglob; set -eo noshglob; echo $x",
      "MODULE_PATH=%p; ulimit -n",
      "x=%p; HISTSIZE=${x##*/}",
      "x=%p; printf \"%d\\n\" \"${x##*/}\"",
      "x=%p; KSHUID=${x##*/}",
      // A "#" the shell does not take for a comment's (after "$(...)", in a pattern, inside
      // backquotes after a quote), whose line's backslash-newline the shell then joins; a blank
      // of yash's locale.
      "x=%p; : $(:)#\"\n\" # c\\\neval \"$x\"",
      "x=%p; : `:'`' \"' # c\\\neval \"$x\"\n\"`",
      "shopt -s extglob\nx=%p; : @(#x|y)\"\n\" # c\\\neval \"$x\"\n\")",
      "x=%p;\u2003eval \"$x\"",
      // Arithmetic: test's -t, printf's conversions but %s and %b, a format from an expansion,
      // print's other options, and more of the variables zsh and mksh evaluate.
      "x=%p; [ -t \"${x##*/}\" ]",
      "x=%p; printf '%1$d' \"${x##*/}\"",
      "x=%p; printf '%*s' \"${x##*/}\" z",
      "x=%p; f=%%d; printf \"$f\" \"${x##*/}\"",
      "x=%p; print -A \"${x##*/}\"",
      "x=%p; UID=${x##*/}",
      "x=%p; DIRSTACKSIZE=${x##*/}; cd .",
      "x=%p; PGRP=${x##*/}",
      // A quoted here-document's body and its delimiter line, whose backslash-newlines the shell
      // leaves apart; inside backquotes an escaped backquote, which nests them, and an escaped
      // backslash before a newline, which the shell joins there.
      "x=%p\ncat <<'\\'\na\\\n\\\neval \"$x\"",
      "x=%p\ncat <<E\\\\\na\\\nE\\\neval \"$x\"",
      "x=%p; y=`echo \\`eval $x\\``",
      "x=%p; x=${x##*/}; y=`printf \\\\\n%d $x`",
      // bash's "{NAME}>" with an element; a value in printf's format; options of test and print
      // an expansion makes.
      "x=%p; x=${x##*/}; : {a[$x]}>/dev/null",
      "x=%p; x=${x##*/}; printf \"%p:%s\\n\" \"$x\"",
      "x=%p; x=${x##*/}; o=-; test \"$o\"v \"$x\"",
      "x=%p; x=${x##*/}; o=eq; test 1 -$o \"$x\"",
      "x=%p; o=-; print \"$o\"P \"$x\"",
      // Compound assignments' subscripts; inside backquotes an escaped backslash (one for the
      // inner reading), and backquotes escaped inside "$(...)" inside them; a format or a ">&"
      // target a quote carries past a blank that a reading took for a word's end; "<<" split by a
      // backslash-newline; a quoted "esac"; zsh's logout and bye; zsh's loops over several
      // variables; "esac" as a pattern, or closing a case right before the ")" of "$(...)";
      // bash's hash -p; a shell reading a process's environment.
      "x=%p; x=${x##*/}; a=(b [x]=1)",
      "x=%p; y=`e\\\\val $x`",
      "x=%p; y=`: \\`e\\\\\\\\\nval $x\\``",
      "x=%p; y=`: $(: \\`eval $x\\`)`",
      "x=%p; x=${x##*/}; : \"$(printf \"%s $x\" a \"$x\")\"",
      "x=%p # it's\necho hi >&\"1 $x\"",
      "x=%p\ncat <\\\n<'E\\'\na\\\nE\\\neval \"$x\"",
      "x=%p; echo $(cas\\\ne esac in (\"esac\" ) eval \"$x\";; esac)",
      "x=%p; x=${x##*/}; logout $x",
      "for a PS4 in 1 %p; do set -x; :; done",
      "foreach a PS4 (1 %p) set -x; :; end",
      "for a do eval %p; done",
      "echo $(cas\\\ne y in x|esac) :;; y) eval %p;; esac)",
      "echo $(case y in (esac) :;; y) eval %p;; esac)",
      "sh $(cas\\\ne y in y) :;; esac) -c %p",
      "hash -p /bin/sh foo; foo -c %p",
      "cd %p && sh /proc/self/environ",
      // A reserved word as a precommand's argument; zsh's short loops and "in" as a variable;
      // ";|" before "esac", and cases left open; an option of set an expansion makes; a shell's
      // script found after a cd.
      "env -u for sh -c %p",
      "for a (1) { eval %p; }",
      "foreach a (1) eval %p; end",
      "for in PS4 in 1 %p; do set -x; :; done",
      "case y in y) :;| esac; set $(:) -o extendedglob; x=%p; ls -d $x",
      "case y in esac; set $(:) -o extendedglob; x=%p; ls -d $x",
      "command -v case >/dev/null; set $(:) -o extendedglob; x=%p; ls -d $x",
      "echo $(cas\\\ne y in x) env esac;; y) eval %p;; esac)",
      "set -eo$(:) extendedglob; x=%p; ls -d $x",
      "cd %p && cd /proc/self && sh environ",
      "echo %p | (cd /dev/fd && sh 0)",
      "echo %p | (d=/dev/fd; cd \"$d\"; sh 0)",
      "echo %p | { chdir /dev/fd && sh 0; }",
      "echo %p | (OLDPWD=/dev/fd; cd - && sh 0)",
      "echo %p | env -C /dev/fd sh 0",
      "echo %p | env --chdir=/dev/fd sh 0",
      "/proc/self/exe -c %p",
      "echo %p | /proc/thread-self/exe -s",
      "exec 3</bin/sh; /dev/fd/3 -c %p",
      "function for { find /dev/null -exec \"$@\" ';'; }\n\\for sh -c %p",
      "function select { \"$@\"; }\n'select' sh -c %p",
      ">! /dev/null eval %p",
      "2>&! /dev/null eval %p",
      "jobs -x eval %p",
      "cd %p && OLDPWD=$(echo /proc/self) && mksh ~-/environ",
      "cd %p && d=$(echo /proc/self) && sh ~d/environ",
      "shopt -s cdable_vars; d=$(echo /proc/self); cd %p && cd d && mksh environ",
      ": # it's\nenv 'A=x; for ' sh -c %p",
      ": # it\"s\nenv \"A=x; select \" eval %p",
      "cd %p && cd /tmp/zXroc && cd zX /p && cd self && mksh environ",
      "cd %p && d=$(echo /proc/self) && dirs $d && popd && mksh environ",
      "cd %p && find /proc/self/ -name environ -execdir mksh environ ';'",
      ": ${x:- #}; A='x >' eval %p",
      "echo ${x%% #}; env 'A=x >' sh -c %p",
      "(true)#'\nA='x >' eval %p #'",
      "(#'\nA='x >' eval %p #'\n)",
      ": # it's\nA='x >' eval %p",
      ": %p\ncat <<E >/dev/null\n'\nE\nA='; for x in' eval \"$VARDO_P\"",
      "x=%p\ncat <<'E'\n\"\nE\nA=\"; select x in\" eval \"$x\"",
  };
  for (const char *tmpl : rereading) {
    for (const char *value : {"x.y", "a b"}) {
      Expansion e = expand(tmpl, value);
      EXPECT_EQ(e.text, "(null)") << tmpl << " with " << value;
      EXPECT_EQ(e.err, not_data("vardo", tmpl)) << tmpl;
    }
  }
  const char *const usual[] = {
      "tar xf -",
      "tar xf - -C %p",
      "cpio -idm",
      "sh ./install.sh --prefix=/opt/x",
      "sh ./install.sh --prefix=%p",
      "cd pkg && ./setup.sh",
      "mkdir -p %p/x\ncd %p/x && tar xf -\n[ -d %p/x/bin ] || exit 1",
      "DESTDIR=%p/root sh ./install.sh",
      "dd of=%o",
      "export PREFIX=%p; sh ./install.sh",
      "LC_ALL=C.UTF-8 tar xf - -C %p",
      "cp -R . %p",
      "gzip -dc | tar xf - -C %p",
      "%p/bin/setup --quiet",
      "cat > %p/%o; printf '%%s\\n' done",
      "echo please read the notes in %p",
      "print -r -- installing into %p",
      "flock /tmp/vardo.lock cp -R . %p",
      "sh ./install.sh %p || exit $?",
      "bash ./install.sh --log /dev/null --prefix %p",
      "sh ./install.sh --docs '*.txt' %p",
      "hash gzip 2>/dev/null || exit 1; cd %p && ./setup",
      "case $(uname -m) in x86_64|amd64) ./install.sh %p;; esac",
      "diff <(sort a) <(sort b) > %p/d; (cd %p && sh ./install.sh)",
      "unset CDPATH; cd %p",
      "while read -r f; do cp \"$f\" %p; done < list",
      "set -o errexit; cp x %p",
      "function setup { cp -R . %p; }; setup",
      "time { cp -R . %p; }",
      "{ tar xf - -C %p; } always { rm -f list; }",
      "sudo ./install.sh \"$@\" --prefix=%p",
      "nohup /opt/x/setup \"$@\" %p",
      "sudo ln -s %p/bin/tool /usr/local/bin/tool",
      "sudo -u root -- sed -i \"s|@PREFIX@|%p|\" %p/etc/tool.conf",
      "sh ./install.sh -s %p",
      "busybox tar -czf backup.tgz %p",
      "sudo -upostgres psql -f %p/setup.sql",
      "sudo --user root ./install.sh -i %p",
      "sh ./install.sh \\\n  --prefix=%p \\\n  \"$@\" # the prefix\necho done",
      "install_bin() {\n  cp \"$1\" %p/bin/\n}\ninstall_bin tool",
      "cp x %p || {\n  echo failed >&2\n  exit 1\n}",
      "LOG=${TMPDIR:-/tmp}/install.log; v=1.0*; sh ./install.sh %p > \"$LOG\"",
  };
  for (const char *tmpl : usual) {
    for (const char *dir :
         {"a b", "it's", "cost$5", "x,y", "\u00fcn\u00efc\u00f8d\u00e9", "$(id)", "back\\slash"}) {
      Expansion e = expand(tmpl, "data.tar", std::string("/tmp/") + dir);
      EXPECT_NE(e.text, "(null)") << tmpl << " from " << dir << ": " << e.err;
    }
  }
}

// A value at the 2047-character limit, a little under it and invalid UTF-8 are among the values;
// the longest output name is 1023 bytes.
std::string near_limit_value() {
  std::string v;
  while (v.size() < 1002)
    v += "'$;";
  v += "$(touch PWNED)`id`*~\\";
  return v;
}

const std::vector<std::string> &hostile_values() {
  static const std::vector<std::string> values = {
      "my file.txt",
      "tab\there  two",
      "it's",
      "say \"hi\"",
      "a;touch PWNED;b|touch PWNED&",
      "\ntouch PWNED\n",
      "$(touch PWNED)x",
      "`touch PWNED`",
      "*",
      "~",
      "\xff\xfe\x80 \xe2\x82",
      "trail\\",
      "\\'\\\"$(touch PWNED)\\",
      "x)'; touch PWNED; (' #",
      "\xa4\"; touch PWNED; : \xa4\"", // closes "..." in bash under a Big5 locale
      "a[$(touch PWNED)]",
      near_limit_value(),
  };
  return values;
}

// What a template of the matrix does with a value that is not plain.
enum class Expect {
  exact,    // the command receives exactly the value: `expect`, with "@" standing for it
  stripped, // the same, less trailing newlines (the value passed through "$(...)")
  data,     // runs, and the value stays data, but the shells differ on the words they make
  unknown,  // its quoting cannot be told: refused (a plain value runs)
  rereads,  // a construct reads text again: refused, a plain value too
};

// One template of the matrix: what the command writes on standard output (printf receives the
// value and prints it), or the one file name it makes in a directory named by the value.
struct MatrixCase {
  std::string tmpl;
  Expect how;
  std::string expect;
  bool names_file = false;
  std::string or_expect = ""; // what a shell without brace expansion prints instead
};

// Beginnings of a template, each followed by a printf of the value in one form. A beginning
// that rereads makes every form reread.
struct Form {
  const char *text;
  Expect how;
};
const Form kPreludes[] = {
    {"", Expect::exact},
    {"cd . ; ", Expect::exact},
    {": 'it''s' \"a\\\"b\" \\' \\\" ; ", Expect::exact},
    {"X=1 Y='2 3'; x=\"$X\"; ", Expect::exact},
    {": $X $1 $? $# $- $@ $* $! ; ", Expect::exact},
    {": a\\ b\\;c \\# a#b '#' \"#\" ; ", Expect::exact},
    {": \"\\`date\\`\" \"\\$(x)\" \\` \\$x ; ", Expect::exact},
    {"( : ); { :; }; ", Expect::exact},
    {"f() { :; }; f; ", Expect::exact},
    {"case x in (x) :;; esac; case y in y) :;; esac; ", Expect::exact},
    {": >/dev/null 2>&1 </dev/null; true && : || :; ", Expect::exact},
    {": * ? [a] ~ {a,b} = ; ", Expect::exact},
    {": 'a\nb' \"a\nb\" 'c\\\n' \\\\\n", Expect::exact},
    {": 100%% a%b %; ", Expect::exact},
    {"for i in 1 2; do :; done; if true; then :; fi\n", Expect::exact},
    {": >&2 2>&1 ; cd . && ls >/dev/null; export X=1 Y; set -- a; test -n x; [ x ]; ",
     Expect::exact},
    {"command -p true; time -p true 2>/dev/null; ", Expect::exact},
    {": $(true) \"$(true)\" `true` ; ", Expect::exact},
    {": ${X-} \"${X:-a b}\" ${#X} ; ", Expect::exact},
    {": $\"x\" ; ", Expect::exact},
    {": $'x' ; ", Expect::unknown},
    {": $$ \"$\" ; ", Expect::exact},
    {"true # it's\n", Expect::exact},
    {"(true)# it's\n", Expect::exact},
    {"case x in (x)#'\n:;; esac; f()#'\n( : ); f #'\n", Expect::exact},
    {"true #\n", Expect::exact},
    {": x\\\ny ; ", Expect::exact},
    {": \"a\\\nb\" ; ", Expect::exact},
    {"cat <<EOF >/dev/null\nit's\nEOF\n", Expect::unknown},
    {"cat <<'EOF' >/dev/null\n\"\nEOF\n", Expect::unknown},
    {"cat <<-EOF >/dev/null\n\t'\n\tEOF\n", Expect::unknown},
    {"x=1; eval : ; ", Expect::rereads},
    {"trap : EXIT; ", Expect::rereads},
    {"let x=1; ", Expect::rereads},
    {"printf -v x 1; ", Expect::rereads},
    {": ${X:1} ; ", Expect::rereads},
    {"E=true; $E; ", Expect::rereads},
    {"`echo true` ; ", Expect::rereads},
    {"alias x=:\n", Expect::rereads},
    {"unset X; ", Expect::exact},
    {"unset \"X[0]\"; ", Expect::rereads},
    {"test ! -v X || : ; ", Expect::rereads},
    {"2>/dev/null command eval : ; ", Expect::rereads},
    {": \"${X@P}\" ; ", Expect::rereads},
    {": $((1)) ; ", Expect::rereads},
    {"((1)) 2>/dev/null; ", Expect::rereads},
};

// Where the value stands in the printf, and what printf receives around it.
struct Argument {
  const char *text;
  Expect how;
  const char *expect;
};
const Argument kArguments[] = {{"%o", Expect::exact, "@"},
                               {"'%o'", Expect::exact, "@"},
                               {"\"%o\"", Expect::exact, "@"},
                               {"x%o'y'\"z\"", Expect::exact, "x@yz"},
                               {"\\%o", Expect::unknown, "@"}};

std::vector<MatrixCase> matrix_cases() {
  std::vector<MatrixCase> cases;
  for (const auto &p : kPreludes)
    for (const auto &a : kArguments)
      cases.push_back({std::string(p.text) + "printf '%s' " + a.text,
                       p.how == Expect::exact     ? a.how
                       : a.how == Expect::rereads ? a.how
                                                  : p.how,
                       a.expect});
  std::vector<MatrixCase> more = {
      // The attacks of the past, rewritten to print the value, and their neighbours.
      {"printf '%s' \"$( (true); printf '%s' %o)\"", Expect::stripped, "@"},
      {"printf '%s' \"$(f() { :; }; printf '%s' %o)\"", Expect::stripped, "@"},
      {"printf '%s' \"$(case x in (x) :;; esac; printf '%s' %o)\"", Expect::unknown, "@"},
      {"printf '%s' \"$(case x in x) :;; esac; printf '%s' %o)\"", Expect::unknown, "@"},
      {"printf '%s' \"$(printf '%s' %o)\"", Expect::stripped, "@"},
      {"printf '%s' \"`printf '%s' %o`\"", Expect::unknown, "@"},
      {"printf '%s' %o; printf '%s' $(echo x)#%o", Expect::exact, "@x#@"},
      {"printf '%s' %o \\\n#%o", Expect::exact, "@"},
      {"cat <\\\n<EOF\n%o\nEOF", Expect::unknown, "@\n"},
      {"printf '%s' \"$\\\n(printf '%s' %o)\"", Expect::data, "@"},
      {"printf '%s' $'%o'", Expect::unknown, "@"},
      {"printf '%s' \"$((cd .); printf '%s' %o)\"", Expect::rereads, "@"},
      {"printf '%s' \"${X:-%o}\"", Expect::unknown, "@"},
      {"printf '%s' $((%o))", Expect::rereads, "@"},
      {"printf '%s' $\"%o\"", Expect::unknown, "@"},
      {"printf '%s' %o # %o", Expect::exact, "@"},
      {"true # %o\nprintf '%s' %o", Expect::exact, "@"},
      {"printf '%s' @(%o)", Expect::data, "@"},
      {"a=(%o); printf '%s' \"$a\"", Expect::data, "@"},
      {"printf '%s' $%o", Expect::unknown, "@"},
      {"printf '%s' \"$%o\"", Expect::unknown, "@"},
      {"printf '%s' \"\\%o\"", Expect::unknown, "@"},
      {"printf '%s' \"\xa4\\\" %o\"", Expect::exact, "\xa4\" @"},
      {"alias note='printf %s \"'\nnote %o\"", Expect::rereads, "@"},
      {"printf '%s' x >& %o", Expect::rereads, ""},
      {"printf '%s' x 1>&\"%o\"", Expect::rereads, ""},
      {"x=%o; printf '%s' \"$x\" 2>&\"$x\"", Expect::rereads, "@"},
      {"printf '%s' %o 2>&1", Expect::exact, "@"},
      {"printf '%s' %o 2>&1 >&2", Expect::exact, "@"},
      {"trap \"printf '%s' %o\" EXIT", Expect::rereads, "@"},
      {"x=%o; eval 'printf \"%%s\" \"$x\"'", Expect::rereads, "@"},
      {"a[%o]=1; printf '%s' %o", Expect::rereads, "@"},
      {"export %o 2>/dev/null; printf '%s' %o", Expect::rereads, "@"},
      {"export X=%o; printf '%s' \"$X\"", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\" $((1))", Expect::rereads, "@"},
      {"printf '%s' %o; : `true`", Expect::exact, "@"},
      {"printf '%s' %o; : $(true)", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; : \"${!x}\"", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; set -- a; : \"${@:x}\"", Expect::rereads, "@"},
      {"printf '%s' %o; echo x > c; . ./c", Expect::rereads, "@"},
      {"printf '%s' %o; e() { eval \"$1\"; }", Expect::rereads, "@"},
      {"printf '%s' %o\nprintf '%s' %o", Expect::exact, "@@"},
      {"x=%o # it's\nprintf '%s' \"$x\"", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; : \"${x#'\"'}\" #'", Expect::unknown, "@"},
      {"x=%o; set -- 1; for y do printf '%s' \"$x\"; done", Expect::exact, "@"},
      {"x=%o; set -- 1; printf '%s' \"$x\"; for y do eval :; done", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; <&- true : \"$x\"", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; o=-v; test $o \"$x\"", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; b[x]=1", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=1 true", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; a+=x true 2>/dev/null || :", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; {true,true}", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; true &>/dev/null", Expect::exact, "@"},
      {"x=%o; printf '%s' \"$x\"; set -- 1; shift \"$x\" 2>/dev/null", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; (exit \"$x\") 2>/dev/null; :", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; [ \"$x\" -eq 1 ] 2>/dev/null; :", Expect::rereads, "@"},
      {"x=%o; printf '%s' \"$x\"; ulimit -t \"$x\" 2>/dev/null; :", Expect::rereads, "@"},
      {"set -- 1; shift; printf '%s' %o; exit 0", Expect::exact, "@"},
      {": >&-#c; printf '%s' %o", Expect::data, "@"},
      {"PS4=%o; printf '%s' \"$PS4\"", Expect::rereads, "@"},
      {"OPTIND=1; x=%o; printf '%s' \"$x\"", Expect::rereads, "@"},
      {"readonly -a A=%o; printf '%s' %o", Expect::rereads, "@"},
      {"printf %o x 2>/dev/null; printf '%s' %o", Expect::rereads, "@"}, // a value as a format
      {"x=%o; %o \"$x\" 2>/dev/null; printf '%s' \"$x\"", Expect::data, "@"},
      {"x=%o; %o>/dev/null true 2>&1; printf '%s' \"$x\"", Expect::data, "@"},
      {"noglob eval printf '%s' %o", Expect::rereads, "@"},
      {"nocorrect eval printf '%s' %o", Expect::rereads, "@"},
      {"emulate sh -c \"printf '%s' %o\"", Expect::rereads, "@"},
      {"pa() { printf '[%s]' \"$@\"; }; pa {x,{y}%o}", Expect::exact, "[x][{y}@]", false,
       "[{x,{y}@}]"},
      {"cd / && printf '%s' %o", Expect::exact, "@"},
      {"export LC_ALL=C; printf '%s' %o", Expect::exact, "@"},
      {"printf '%s' %o#%o", Expect::exact, "@#@"},
      {"printf '%s' a#%o", Expect::exact, "a#@"},
      {"printf '%s' \\#%o \\\\%o \"\\\\%o\"", Expect::exact, "#@\\@\\@"},
      {"printf '%s' 'x\\'%o", Expect::exact, "x\\@"},
      {"set -- a; printf '%s' $1%o \"$1\"%o", Expect::exact, "a@a@"},
      {"(printf '%s' %o) | cat", Expect::exact, "@"},
      {": | : & true; ( (true) ); printf '%s' %o", Expect::exact, "@"},
      {"{ printf '%s' %o; } 2>/dev/null", Expect::exact, "@"},
      {"f() { printf '%s' \"$1\"; }; f %o", Expect::exact, "@"},
      {"case %o in *) printf '%s' %o;; esac", Expect::exact, "@"},
      {"printf '%s' %o<<EOF\nEOF", Expect::exact, "@"},
      {"printf '%s' ~%o", Expect::exact, "~@"},
      {"printf '%s' \"a\\\"b%o\"", Expect::exact, "a\"b@"},
      {"printf '%s' \"%o\"'%o'%o", Expect::exact, "@@@"},
      {"printf '%s' \"x%oy\" '%o'\"%o\"", Expect::exact, "x@y@@"},
      {"X=; printf '%s' \"${X}%o$#%o\"", Expect::exact, "@0@"},
      // The default extract command, the manual's examples and their neighbours, run in a
      // directory named by the value.
      {"cat > %p/%o", Expect::exact, "@", true},
      {"cat > \"%p/%o\"", Expect::exact, "@", true},
      {"cat > '%p'/%o", Expect::exact, "@", true},
      {"cp /dev/null %p/installed.txt", Expect::exact, "installed.txt", true},
      {"gzip -c > \"%p/survey-2026.csv.gz\"", Expect::exact, "survey-2026.csv.gz", true},
      {"mkdir -p \"%p/acme\" && cd \"%p/acme\" && tar xf - 2>/dev/null; :", Expect::exact, "acme",
       true},
      {"cat > \"$( (true); echo %p)/%o\"", Expect::data, "@", true},
      {"cat > %o; echo done $(date +%%s)#%p >/dev/null", Expect::exact, "@", true},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::string with_value(const std::string &pattern, const std::string &value) {
  std::string out;
  for (char c : pattern) {
    if (c == '@')
      out += value;
    else
      out += c;
  }
  return out;
}

struct Expanded {
  bool ok;
  std::string text, err;
};

// Expands in this process with `dir` as %p, catching the message of a refusal from standard
// error.
Expanded expand_here(const std::string &tmpl, const std::string &out_name, const std::string &dir) {
  int saved_err = dup(2);
  int p[2];
  if (saved_err < 0 || pipe(p) < 0)
    throw std::runtime_error("cannot catch the messages");
  const char *program = process.program_name;
  process.program_name = "vardo";
  dup2(p[1], 2);
  close(p[1]);
  static ExpandedCommand cmd;
  bool ok = expand_template(tmpl.c_str(), {out_name.c_str(), dir.c_str()}, &cmd) == 0;
  dup2(saved_err, 2);
  close(saved_err);
  process.program_name = program;
  Expanded e{ok, ok ? cmd.text : "", ""};
  char buf[4096];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
    e.err.append(buf, static_cast<size_t>(n));
  close(p[0]);
  return e;
}

// "d12", "c12": the names of one item's files. (Built by appending: GCC 12 warns wrongly about
// "d" + std::to_string(n).)
std::string item_name(char kind, size_t n) {
  std::string name(1, kind);
  name += std::to_string(n);
  return name;
}

std::set<std::string> entries(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// What each run wrote, cut at the marks "\0<n> <status>\0" the script prints after run n, with
// the status; a run without a mark did not end.
struct Piece {
  std::string text = "(no mark: the script ended before this run ended)";
  int status = -1;
};
std::vector<Piece> cut_at_marks(const std::string &out, size_t runs) {
  std::vector<Piece> pieces(runs);
  size_t from = 0;
  for (size_t at; (at = out.find('\0', from)) != std::string::npos;) {
    size_t end = out.find('\0', at + 1);
    if (end == std::string::npos)
      break;
    std::string mark = out.substr(at + 1, end - at - 1);
    size_t n = std::stoul(mark);
    if (n < runs) {
      pieces[n].text = out.substr(from, at - from);
      size_t blank = mark.find(' ');
      pieces[n].status = blank == std::string::npos ? -1 : std::stoi(mark.substr(blank + 1));
    }
    from = end + 1;
  }
  return pieces;
}

bool has_high_byte(const std::string &s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80)
      return true;
  return false;
}

// Every template of the matrix with every hostile value, expanded by expand_template and run by
// one shell as the tool runs it: "sh -c COMMAND" (the shell under test started by the name sh),
// with the values in its environment. Each pair is refused exactly where the template rereads or
// its quoting cannot be told; otherwise the command receives exactly the value's bytes and runs
// nothing else, or, where the shell cannot take the value (yash, bytes that are no characters of
// its locale), the run fails. A driver script of dash starts the runs one after the other and
// marks where each ends.
struct Shell {
  const char *name;
  std::vector<std::string> argv; // argv[0] is linked as "sh"
  const char *locale;            // a locale made for the run, or null for the test's own
};

// Big5 has multibyte characters whose second byte is a backslash or a backquote. Returns the
// reason when the locale cannot be made here.
std::string make_big5_locale(const std::string &dir) {
  auto r = test::run({"localedef", "-i", "zh_TW", "-f", "BIG5", dir + "/zh_TW.BIG5"});
  return r.status == 0 ? "" : "localedef cannot make zh_TW.BIG5: " + r.out + r.err;
}

void PrintTo(const Shell &shell, std::ostream *out) { *out << shell.name; }

class ValuesAreDataInEveryShell : public ::testing::TestWithParam<Shell> {};

// `text` single-quoted for dash, which takes every byte between the quotes as it is.
std::string dash_quoted(const std::string &text) {
  std::string q = "'";
  for (char c : text)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TEST_P(ValuesAreDataInEveryShell, EveryTemplateWithEveryHostileValue) {
  const Shell &shell = GetParam();
  std::string path = test::run({"sh", "-c", "command -v " + shell.argv[0]}).out;
  if (path.empty())
    GTEST_SKIP() << shell.argv[0] << " is not installed";
  path.pop_back();
  test::TempDir root;
  test::RunOptions o;
  o.cwd = root.path();
  if (shell.locale) {
    mkdir((root / "locale").c_str(), 0755);
    std::string problem = make_big5_locale(root / "locale");
    if (!problem.empty())
      GTEST_SKIP() << problem;
    o.env = {"LOCPATH=" + root / "locale", std::string("LC_ALL=") + shell.locale};
  }
  mkdir((root / "bin").c_str(), 0755);
  ASSERT_EQ(symlink(path.c_str(), (root / "bin/sh").c_str()), 0);
  std::string sh = root / "bin/sh";
  for (size_t i = 1; i < shell.argv.size(); ++i)
    sh += " " + shell.argv[i];
  struct Item {
    size_t c, v;
    std::string text;
  };
  std::vector<Item> items;
  auto cases = matrix_cases();
  std::vector<std::string> values = hostile_values();
  values.push_back("plain.value-1"); // runs wherever a template takes a placeholder at all
  const std::string long_value = near_limit_value();
  std::string script = "R=$PWD\n";
  for (size_t c = 0; c < cases.size(); ++c) {
    const MatrixCase &mc = cases[c];
    for (size_t v = 0; v < values.size(); ++v) {
      const std::string &value = values[v];
      bool plain = v + 1 == values.size();
      if (mc.names_file && value == long_value)
        continue; // too long for a directory name
      std::string dir = root / item_name('d', items.size()), cwd = root.path();
      if (mc.names_file) {
        cwd = dir + "/" + value;
        mkdir(dir.c_str(), 0755);
        mkdir(cwd.c_str(), 0755);
      }
      auto e = expand_here(mc.tmpl, value, cwd);
      std::string what = mc.tmpl + " with " + testing::PrintToString(value);
      bool refused = mc.how == Expect::rereads || (mc.how == Expect::unknown && !plain);
      if (refused) {
        EXPECT_FALSE(e.ok) << what << ": " << e.text;
        if (value != long_value) {
          EXPECT_EQ(e.err, not_data("vardo", mc.tmpl)) << what;
        }
        continue;
      }
      if (!e.ok) {
        // Only the longest value can make the command longer than the limit.
        EXPECT_EQ(value, long_value) << what << ": " << e.err;
        EXPECT_EQ(e.err,
                  "vardo: command longer than 2047 characters after expansion: " + mc.tmpl + "\n");
        continue;
      }
      std::string n = std::to_string(items.size());
      script += std::string("cd \"$R\"") + (mc.names_file ? "/d" + n + "/*" : "") +
                " && VARDO_O=" + dash_quoted(value) + " VARDO_P=" + dash_quoted(cwd) + " " + sh +
                " -c " + dash_quoted(e.text) + " </dev/null\nprintf '\\000%s %s\\000' " + n +
                " $?; printf '\\000%s\\000' " + n + " >&2\n" +
                "if [ -e \"$R/PWNED\" ]; then rm \"$R/PWNED\"; echo " + n +
                " >> \"$R/pwned\"; fi\n";
      items.push_back({c, v, e.text});
    }
  }
  test::write_file(root / "all", script);
  auto r = test::run({"dash", "all"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  auto out = cut_at_marks(r.out, items.size()), err = cut_at_marks(r.err, items.size());
  int failures = 0;
  for (size_t i = 0; i < items.size() && failures < 400; ++i) {
    const MatrixCase &mc = cases[items[i].c];
    const std::string &value = values[items[i].v];
    std::string d = root / item_name('d', i);
    std::string expected = mc.names_file ? "" : with_value(mc.expect, value);
    if (mc.how == Expect::stripped)
      expected.erase(expected.find_last_not_of('\n') + 1);
    bool right = (out[i].text == expected ||
                  (!mc.or_expect.empty() && out[i].text == with_value(mc.or_expect, value))) &&
                 out[i].status == 0;
    if (mc.names_file)
      right = right && entries(d) == std::set<std::string>{value} &&
              entries(d + "/" + value) == std::set<std::string>{with_value(mc.expect, value)};
    // A shell that cannot take the value fails the run; one reading the template in a locale
    // where a byte of it takes the next along may make other words of it (yash, where the
    // template's own bytes are no characters of its locale, runs nothing of it at all); a
    // template that leaves the words to each shell may be read otherwise by each; a plain value
    // where the quoting is unknown goes in as the template says. Data all the same, and the run
    // ends.
    bool failed = out[i].status > 0 && out[i].status < 128;
    bool plain = items[i].v + 1 == values.size();
    bool locale_reads_template = shell.locale || strcmp(shell.name, "yash") == 0;
    if ((has_high_byte(value) && failed) || mc.how == Expect::data ||
        (mc.how == Expect::unknown && plain) || (locale_reads_template && has_high_byte(mc.tmpl)))
      right = out[i].status >= 0;
    if (!right) {
      ++failures;
      ADD_FAILURE() << shell.name << ": " << mc.tmpl << " with " << testing::PrintToString(value)
                    << "\nexpanded: " << testing::PrintToString(items[i].text)
                    << "\nprinted: " << testing::PrintToString(out[i].text) << " status "
                    << out[i].status << "\nstderr: " << err[i].text;
    }
  }
  // The runs that made a file they were not asked to make: a value ran as code.
  if (access((root / "pwned").c_str(), F_OK) == 0) {
    std::istringstream pwned(test::read_file(root / "pwned"));
    for (size_t i; pwned >> i && i < items.size();)
      ADD_FAILURE() << shell.name << ": ran code: " << cases[items[i].c].tmpl << " with "
                    << testing::PrintToString(values[items[i].v])
                    << "\nexpanded: " << testing::PrintToString(items[i].text);
  }
  EXPECT_GT(items.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Shells, ValuesAreDataInEveryShell,
    ::testing::Values(Shell{"dash", {"dash"}, nullptr}, Shell{"bash", {"bash"}, nullptr},
                      Shell{"bash_big5", {"bash"}, "zh_TW.BIG5"},
                      Shell{"busybox", {"busybox"}, nullptr}, Shell{"mksh", {"mksh"}, nullptr},
                      Shell{"yash", {"yash"}, nullptr}, Shell{"zsh", {"zsh"}, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// The attacks once found against the quoting of values, end to end with the real tool and each
// shell bound over /bin/sh in a private mount namespace. The attacker, nobody, names a directory
// in a shared directory (mode 1777), and root runs the archive there: a template that rereads, or
// a refused item, is refused before anything runs (in archives made without the builder, which
// refuses both); any other command gets the directory's name as one word, or fails where the
// shell cannot take it. Ordinary items that once made every run fail are taken.
TEST(ValuesAreData, AttacksAgainstTheRealToolUnderEveryShell) {
  if (test::run({"unshare", "-m", "true"}).status != 0)
    GTEST_SKIP() << "unshare -m is not permitted here: no shell can be bound over /bin/sh";
  if (test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"}).status)
    GTEST_SKIP() << "setpriv cannot run a command as nobody";
  test::ToolDir tool;
  test::TempDir shared;
  chmod(shared.path().c_str(), 01777);
  test::write_file(tool / "out.txt", "payload\n");
  std::string refusal = "a value would not be data where this command puts it: ";
  std::string item_refusal = "a feature item cannot be exported, as it changes how the run "
                             "command's shell or the loader runs it: ";
  struct Case {
    std::string dir, features, run;
    std::string refused;  // the message, or "" when the command runs
    std::string expected; // what the run command writes to "result", "@" standing for the cwd
    std::vector<std::string> args = {}; // given to the archive
  };
  const std::string pwn = "pkg$(id>PWNED)";
  const Case cases[] = {
      {pwn, "", "noglob eval echo installing from %p", refusal, ""},
      {pwn, "", "nocorrect eval echo installing from %p", refusal, ""},
      {pwn, "", "emulate sh -c \"echo installing from %p\"", refusal, ""},
      {pwn, "", "function setup { eval \"cd %p\"; }; setup; true", refusal, ""},
      {pwn, "", "{ true; } always { eval \"cd %p\"; }; true", refusal, ""},
      {pwn, "", "`printf eval` \"cd %p\"; true", refusal, ""},
      {pwn, "", "echo \"cd %p\" | sh /dev/stdin; true", refusal, ""},
      {pwn, "", "sh <(echo \"cd %p\"); true", refusal, ""},
      {pwn, "", "print -P \"installing into %p\"; true", refusal, ""},
      {"x,y", "", "printf '[%s]' {x,{y}%p} > result", "", "[x][{y}@]|[{x,{y}@}]"},
      {"plain", "FPATH=/dir", "setup-helper || true", item_refusal + "FPATH=/dir", ""},
      {"plain", "POSIXLY_CORRECT=1", "true", item_refusal + "POSIXLY_CORRECT=1", ""},
      {"plain", "TMOUT=1", "true", item_refusal + "TMOUT=1", ""},
      {"plain", "COMMAND_NOT_FOUND_HANDLER=touch PWNED", "yash -c not-a-command || true",
       item_refusal + "COMMAND_NOT_FOUND_HANDLER=touch PWNED", ""},
      {"plain", "YASH_PS4=$(id>PWNED)", "yash -xc true", item_refusal + "YASH_PS4=$(id>PWNED)", ""},
      {"\xff\xfe", "", "cp out.txt %p/installed.txt && cat %p/installed.txt > result", "",
       "payload\n"},
      {"a b", "", "cp out.txt \"%p/installed.txt\"; cat < %p/installed.txt > result", "",
       "payload\n"},
      {"$(id)", "PREFIX=/opt/x,LANG=C,LC_ALL=C.UTF-8,LANGUAGE=en,BASH_COMPLETION_DIR=/x",
       "echo \"$PREFIX $LANG $LC_ALL $LANGUAGE $BASH_COMPLETION_DIR\" > result", "",
       "/opt/x C C.UTF-8 en /x\n"},
      // A comment inside backquotes ends at the backquote that closes them.
      {"a  b * c", "", "printf '<%s>' ` # ` \"x %p\" > result", "", "<x @>"},
      // Operands yash cannot read in its locale, which it would give as empty ones.
      {"plain",
       "",
       "printf '[%s]' \"$@\" > result",
       "",
       "[a][\xff\xfe][][b]",
       {"--", "a", "\xff\xfe", "", "b"}},
  };
  std::vector<std::string> skipped;
  for (const char *shell : {"dash", "bash", "busybox", "mksh", "yash", "zsh"}) {
    std::string path = test::run({"sh", "-c", std::string("command -v ") + shell}).out;
    if (path.empty()) {
      skipped.push_back(shell);
      continue;
    }
    path.pop_back();
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case &c = cases[i];
      std::string what = std::string(shell) + ": " + c.run + " from " + c.dir;
      std::string name = "a" + std::to_string(i) + ".run";
      tool.make_archive(name, c.features + (c.features.empty() ? "" : ",") + "NOCOMPR,NAME=out.txt",
                        "", c.run, "", "payload\n");
      std::string dir = shared / (std::to_string(i) + shell);
      ASSERT_EQ(test::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "mkdir",
                           "-p", dir + "/" + c.dir})
                    .status,
                0)
          << what;
      // The names are another user's; the directories are handed to root, as a directory another
      // user still owns is refused before any command.
      ASSERT_EQ(test::run({"chown", "-R", "0:0", dir}).status, 0) << what;
      std::string cwd = dir + "/" + c.dir;
      test::RunOptions o;
      o.cwd = cwd;
      std::vector<std::string> argv = {"unshare",
                                       "-m",
                                       "sh",
                                       "-c",
                                       "mount --bind \"$1\" /bin/sh && shift && exec \"$0\" \"$@\"",
                                       tool / name,
                                       path};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      auto r = test::run(argv, o);
      EXPECT_NE(access((cwd + "/PWNED").c_str(), F_OK), 0) << what;
      if (!c.refused.empty()) {
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.err, tool / name + ": " + c.refused + (c.features.empty() ? c.run : "") + "\n")
            << what;
        EXPECT_EQ(entries(cwd), std::set<std::string>{}) << what; // nothing unpacked
        continue;
      }
      bool cannot_take =
          strcmp(shell, "yash") == 0 &&
          (has_high_byte(c.dir) || std::any_of(c.args.begin(), c.args.end(), has_high_byte));
      if (cannot_take) {
        EXPECT_EQ(r.status, 1) << what << r.err;
        EXPECT_NE(r.err.find("final processing of out.txt failed"), std::string::npos) << r.err;
        continue;
      }
      EXPECT_EQ(r.status, 0) << what << r.err;
      std::string result = access((cwd + "/result").c_str(), F_OK) == 0
                               ? test::read_file(cwd + "/result")
                               : "(no result)";
      bool right = false;
      for (size_t at = 0, bar; !right; at = bar + 1) {
        bar = c.expected.find('|', at);
        right = result == with_value(c.expected.substr(at, bar - at), cwd);
        if (bar == std::string::npos)
          break;
      }
      EXPECT_TRUE(right) << what << ": " << testing::PrintToString(result);
    }
  }
  // The builder refuses what every run would.
  test::RunOptions to_file;
  to_file.stdout_path = tool / "b.run";
  for (const auto &c : cases) {
    if (c.refused.empty())
      continue;
    std::vector<std::string> argv = {"./vardo", "-r", c.run};
    if (!c.features.empty())
      argv.insert(argv.end(), {"-F", c.features});
    argv.push_back("out.txt");
    auto r = tool.run(argv, to_file);
    EXPECT_EQ(r.status, 1) << c.run;
    EXPECT_EQ(r.err, "./vardo: " + c.refused + (c.features.empty() ? c.run : "") + "\n");
    EXPECT_EQ(test::read_file(tool / "b.run"), "") << c.run;
  }
  if (!skipped.empty())
    GTEST_SKIP() << "not installed, not tried: " << testing::PrintToString(skipped);
}

TEST(ExpandTemplate, OverlongExpansionIsRefused) {
  std::string name(1000, 'n');
  auto r = expand("%o%o", name);
  EXPECT_EQ(r.text, name + name); // 2000 characters fit
  r = expand("%o%o" + std::string(47, 'x'), name);
  EXPECT_EQ(r.text.size(), 2047u);
  r = expand("%o%o" + std::string(48, 'x'), name);
  EXPECT_EQ(r.text, "(null)");
  EXPECT_EQ(r.err, "vardo: command longer than 2047 characters after expansion: %o%o" +
                       std::string(48, 'x') + "\n");
  // The working directory must fit in the room that is left, where it is shown too.
  r = expand(std::string(2040, 'x') + "%p", "n", "/tmp");
  EXPECT_EQ(r.text, std::string(2040, 'x') + "/tmp");
  r = expand(std::string(2044, 'x') + "%p", "n", "/tmp");
  EXPECT_EQ(r.text, "(null)");
  r = expand(std::string(2000, 'x') + "%p", "n", "/tmp/" + std::string(60, 'a') + " b");
  EXPECT_EQ(r.text, "(null)");
}

} // namespace
} // namespace vardo

#include "extract/command.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/process.h"
#include "support/fork.h"
#include "support/tool.h"

namespace vardo {
namespace {

// Expands in a child whose working directory is `cwd`; prints the result or "(null)".
test::RunResult expand(const std::string &tmpl, const std::string &out_name,
                       const std::string &cwd = "/tmp") {
  return test::run_forked([&] {
    process.program_name = "vardo";
    if (chdir(cwd.c_str()) < 0)
      exit(3);
    char *cmd = expand_template(tmpl.c_str(), out_name.c_str());
    if (!cmd) {
      printf("(null)");
      return;
    }
    // The buffer is 2048 zero-filled bytes: everything after the text is NUL.
    for (int i = static_cast<int>(strlen(cmd)); i < kCommandSize; ++i)
      if (cmd[i])
        exit(4);
    printf("%s", cmd);
    free(cmd);
  });
}

std::string not_data(const std::string &program, const std::string &tmpl) {
  return program + ": a value would not be data where this command puts it: " + tmpl + "\n";
}

TEST(ExpandTemplate, Placeholders) {
  EXPECT_EQ(expand("cat > %p/%o", "stdout").out, "cat > /tmp/stdout");
  EXPECT_EQ(expand("cat > %p/%o", "data.tar", "/").out, "cat > //data.tar");
  EXPECT_EQ(expand("%o and %o", "x").out, "x and x");
  EXPECT_EQ(expand("tar xf -", "x").out, "tar xf -");
  EXPECT_EQ(expand("", "x").out, "");
}

TEST(ExpandTemplate, NoEscapeAndOtherPercentSigns) {
  EXPECT_EQ(expand("date +%d", "x").out, "date +%d");
  EXPECT_EQ(expand("a %% b", "x").out, "a %% b");
  EXPECT_EQ(expand("%%o", "x").out, "%%o"); // "o" after a pair is no placeholder
  EXPECT_EQ(expand("100%", "x").out, "100%");
}

TEST(ExpandTemplate, ValuesAreQuotedForTheirPlace) {
  EXPECT_EQ(expand("cat > '%o'", "a b; rm -rf /").out, "cat > 'a b; rm -rf /'");
  EXPECT_EQ(expand("cat > %p/%o", "it's here").out, "cat > /tmp/'it'\\''s here'");
  // Inside "..." the quotes are closed around the single-quoted value.
  EXPECT_EQ(expand("cat > \"%o\"", "$x\"").out, "cat > \"\"'$x\"'\"\"");
  EXPECT_EQ(expand("cat > \"%p/%o\"", "it's").out, "cat > \"/tmp/\"'it'\\''s'\"\"");
  // The quotes count toward the limit.
  std::string name(1022, ' ');
  EXPECT_EQ(expand("echo %o", name).out, "echo '" + name + "'");
  EXPECT_EQ(expand("echo %o%o", name).out, "(null)");
}

// Templates and values that worked before values were quoted expand to the same bytes.
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
  };
  for (const auto &c : cases)
    EXPECT_EQ(expand(c.tmpl, c.out_name).out, c.expected) << c.tmpl;
  // An empty value is an empty argument, not none.
  EXPECT_EQ(expand("printf '[%%s]' x %o y", "").out, "printf '[%%s]' x '' y");
}

// Where the template leaves the part of the shell's grammar that is followed, a value that needs
// quoting is refused with a message and nothing runs; a plain value is still inserted as it is.
TEST(ExpandTemplate, PlacesWhereNoQuotingHelpsAreRefused) {
  for (const char *tmpl :
       {"echo `basename %o`", "echo \"`basename %o`\"", "cat <<EOF\n%o\nEOF",
        "cat <<'EOF'\n%o\nEOF", "echo \"${X:-%o}\"", "echo $((%o))", "echo \"$(echo `echo %o`)\"",
        "cat > \"$(echo .)/%o\"", "true # into %o", "cat <<EOF > %o\nhi\nEOF", "echo $'%o'",
        "echo $\"%o\"", "cat > f \\\n#%o", "echo \\%o", "echo \"\\%o\"", "echo $%o", "echo \"$%o\"",
        "echo @(%o)", "echo \"\xa4\\\" %o"}) {
    auto r = expand(tmpl, "x;touch PWNED;y");
    EXPECT_EQ(r.out, "(null)") << tmpl;
    EXPECT_EQ(r.err, not_data("vardo", tmpl));
  }
  EXPECT_EQ(expand("true # into %o", "x.tar").out, "true # into x.tar");
  EXPECT_EQ(expand("echo \"$(echo %p)\" `%o`", "-a_1").out, "echo \"$(echo /tmp)\" `-a_1`");
  EXPECT_EQ(expand("echo \\%o \"$%o\"", "HOME").out, "echo \\HOME \"$HOME\"");
  // What follows the placeholder counts where it runs code: a substitution anywhere does.
  EXPECT_EQ(expand("cat > %o <<EOF\nhi\nEOF", "a b").out, "(null)");
  EXPECT_EQ(expand("cat > %o <<EOF\nhi\nEOF", "ab").out, "cat > ab <<EOF\nhi\nEOF");
  EXPECT_EQ(expand("cat > %o%o; echo `date`", "a b").out, "(null)");
  EXPECT_EQ(expand("cat > %o%o; echo `date`", "ab").out, "cat > abab; echo `date`");
  // Inside the "{" of a word a comma makes two words: a plain value holding one is quoted.
  EXPECT_EQ(expand("mv {%o,%o.bak}", "x,y").out, "mv {'x,y','x,y'.bak}");
  EXPECT_EQ(expand("mv {%o,%o.bak}", "x.y").out, "mv {x.y,x.y.bak}");
  EXPECT_EQ(expand("mv %o,old", "x,y").out, "mv x,y,old");
  test::TempDir odd;
  mkdir((odd / "a b").c_str(), 0755);
  EXPECT_EQ(expand("echo #%p", "", odd / "a b").out, "(null)"); // "#" begins a comment
  EXPECT_EQ(expand("echo \\%o%p", "", odd / "a b").out, "(null)");
  EXPECT_EQ(expand("echo x#%p", "", odd / "a b").out, "echo x#'" + odd / "a b" + "'");
  // Inside '...' nothing is special, a backslash included.
  EXPECT_EQ(expand("echo 'a\\'%o '$'%o '`'%o", "a b").out, "echo 'a\\''a b' '$''a b' '`''a b'");
}

// A value at the 2047-character limit, a little under it and invalid UTF-8 are among the values;
// the longest output name is 1023 bytes, so the value's quotes bring it near the limit: 1023
// bytes with 334 single quotes take 2027 characters quoted.
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
      near_limit_value(),
  };
  return values;
}

// One template of the matrix, with "@" in `expect` standing for the value: what the command
// writes on standard output (printf receives the value and prints it), or the one file name it
// makes in a directory named by the value.
struct MatrixCase {
  std::string tmpl;
  bool followed; // every placeholder stands where the followed grammar holds
  std::string expect;
  bool names_file = false;
};

// Beginnings of a template, each followed by a printf of the value in one form.
struct Form {
  const char *text;
  bool followed;
};
const Form kPreludes[] = {
    {"", true},
    {"cd . ; ", true},
    {": 'it''s' \"a\\\"b\" \\' \\\" ; ", true},
    {"X=1 Y='2 3'; x=\"$X\"; ", true},
    {": $X $1 $? $# $- $@ $* $! ; ", true},
    {": a\\ b\\;c \\# a#b '#' \"#\" ; ", true},
    {": \"\\`date\\`\" \"\\$(x)\" \\` \\$x ; ", true},
    {"( : ); { :; }; ", true},
    {"f() { :; }; f; ", true},
    {"case x in (x) :;; esac; case y in y) :;; esac; ", true},
    {": >/dev/null 2>&1 </dev/null; true && : || :; ", true},
    {": * ? [a] ~ {a,b} = ; ", true},
    {": 'a\nb' \"a\nb\" 'c\\\n' \\\\\n", true},
    {": 100%% a%b %; ", true},
    {"for i in 1 2; do :; done; if true; then :; fi\n", true},
    {": >&2 2>&1 ; cd . && ls >/dev/null; export X=1 Y; set -- a; test -n x; [ x ]; ", true},
    {"command -p true; time -p true 2>/dev/null; ", true},
    {"x=1; eval : ; ", false},
    {"trap : EXIT; ", false},
    {"let x=1; ", false},
    {"printf -v x 1; ", false},
    {": ${X:1} ; ", false},
    {"E=true; $E; ", false},
    {"alias x=:\n", false},
    {"unset X; ", false},
    {"test ! -v X || : ; ", false},
    {"2>/dev/null command eval : ; ", false},
    {": \"${X@P}\" ; ", false},
    {": $(true) ; ", false},
    {": \"$(true)\" ; ", false},
    {": `true` ; ", false},
    {": ${X-} ; ", false},
    {": $((1)) ; ", false},
    {": $'x' ; ", false},
    {": $\"x\" ; ", false},
    {": $$ \"$\" ; ", false}, // a "$" that names nothing is not followed
    {"true # it's\n", false},
    {"true #\n", false},
    {": \\\n", false},
    {": \"a\\\nb\" ; ", false},
    {"cat <<EOF >/dev/null\nhi\nEOF\n", false},
    {"cat <<'EOF' >/dev/null\nhi\nEOF\n", false},
    {"((1)) 2>/dev/null; ", false},
    {": <(true) 2>/dev/null; ", false},
    {": \"\xa4\\\"\" ; ", false},
    {": \\\xa4 ; ", false},
};

// Where the value stands in the printf, and what printf receives around it.
struct Argument {
  const char *text;
  bool followed;
  const char *expect;
};
const Argument kArguments[] = {{"%o", true, "@"},
                               {"'%o'", true, "@"},
                               {"\"%o\"", true, "@"},
                               {"x%o'y'\"z\"", true, "x@yz"},
                               {"\\%o", false, "@"}};

std::vector<MatrixCase> matrix_cases() {
  std::vector<MatrixCase> cases;
  for (const auto &p : kPreludes)
    for (const auto &a : kArguments)
      cases.push_back(
          {std::string(p.text) + "printf '%s' " + a.text, p.followed && a.followed, a.expect});
  std::vector<MatrixCase> more = {
      // The attacks of the past, rewritten to print the value, and their neighbours.
      {"printf '%s' \"$( (true); printf '%s' %o)\"", false, "@"},
      {"printf '%s' \"$(f() { :; }; printf '%s' %o)\"", false, "@"},
      {"printf '%s' \"$(case x in (x) :;; esac; printf '%s' %o)\"", false, "@"},
      {"printf '%s' \"$(case x in x) :;; esac; printf '%s' %o)\"", false, "@"},
      {"printf '%s' \"$(printf '%s' %o)\"", false, "@"},
      {"printf '%s' %o; echo done $(date +%%s)#%o", false, "@"},
      {"printf '%s' %o \\\n#%o", false, "@"},
      {"cat <\\\n<EOF\n%o\nEOF", false, "@\n"},
      {"printf '%s' \"$\\\n(printf '%s' %o)\"", false, "@"},
      {"printf '%s' $'%o'", false, "@"},
      {"printf '%s' \"$((cd .); printf '%s' %o)\"", false, "@"},
      {"printf '%s' \"`printf '%s' %o`\"", false, "@"},
      {"printf '%s' \"${X:-%o}\"", false, "@"},
      {"printf '%s' $((%o))", false, "@"},
      {"printf '%s' $\"%o\"", false, "@"},
      {"printf '%s' %o # %o", false, "@"},
      {"true # %o\nprintf '%s' %o", false, "@"},
      {"printf '%s' @(%o)", false, "@"},
      {"a=(%o); printf '%s' \"$a\"", false, "@"},
      {"printf '%s' $%o", false, "@"},
      {"printf '%s' \"$%o\"", false, "@"},
      {"printf '%s' \"\\%o\"", false, "@"},
      {"printf '%s' \"\xa4\\\" %o\"", false, "@"},
      {"alias note='printf %s \"'\nnote %o\"", false, "@"},
      {"printf '%s' x >& %o", false, ""},
      {"printf '%s' x 1>&\"%o\"", false, ""},
      {"printf '%s' %o 2>&1 >&2", true, "@"},
      {"trap \"printf '%s' %o\" EXIT", false, "@"},
      {"x=%o; eval 'printf \"%%s\" \"$x\"'", false, "@"},
      {"a[%o]=1; printf '%s' %o", false, "@"},
      {"export %o 2>/dev/null; printf '%s' %o", false, "@"},
      {"export X=%o; printf '%s' \"$X\"", true, "@"},
      {"x=%o; printf '%s' \"$x\" $((1))", false, "@"},
      {"printf '%s' %o; : `true`", false, "@"},
      {"printf '%s' %o; : $(true)", false, "@"},
      {"x=%o; printf '%s' \"$x\"; : \"${!x}\"", false, "@"},
      {"x=%o; printf '%s' \"$x\"; set -- a; : \"${@:x}\"", false, "@"},
      {"printf '%s' %o; echo x > c; . ./c", false, "@"},
      {"printf '%s' %o; e() { eval \"$1\"; }", false, "@"},
      {"printf '%s' %o\nprintf '%s' %o", true, "@@"},
      // What once made the scan read a template otherwise than the shells do.
      {"x=%o # it's\nprintf '%s' \"$x\"", false, "@"},
      {"x=%o; printf '%s' \"$x\"; : \"${x#'\"'}\" #'", false, "@"},
      {"x=%o; set -- 1; for y do printf '%s' \"$x\"; done", true, "@"},
      {"x=%o; set -- 1; printf '%s' \"$x\"; for y do eval :; done", false, "@"},
      {"x=%o; printf '%s' \"$x\"; <&- true : \"$x\"", true, "@"},
      {"x=%o; printf '%s' \"$x\"; o=-v; test $o \"$x\"", false, "@"},
      {"x=%o; printf '%s' \"$x\"; b[x]=1", false, "@"},
      {"x=%o; printf '%s' \"$x\"; AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=1 true", true, "@"},
      {"x=%o; printf '%s' \"$x\"; a+=x true", true, "@"},
      {"x=%o; printf '%s' \"$x\"; {true,true}", false, "@"},
      {"x=%o; printf '%s' \"$x\"; true &>/dev/null", false, "@"},
      {": >&-#c; printf '%s' %o", false, "@"},
      {"x=%o; printf '%s' \"$x\"; >&-1 true", false, "@"},
      {"PS4=%o; printf '%s' \"$PS4\"", false, "@"},
      {"OPTIND=1; x=%o; printf '%s' \"$x\"", false, "@"},
      {"readonly -a A=%o; printf '%s' %o", false, "@"},
      {"printf %o x 2>/dev/null; printf '%s' %o", false, "@"},
      {"x=%o; %o \"$x\" 2>/dev/null; printf '%s' \"$x\"", false, "@"},
      {"x=%o; %o>/dev/null true; printf '%s' \"$x\"", false, "@"},
      {"export A=%o; printf '%s' \"$A\"", true, "@"},
      {"cd / && printf '%s' %o", true, "@"},
      {"export LC_ALL=C; printf '%s' %o", true, "@"},
      {"printf '%s' %o#%o", true, "@#@"},
      {"printf '%s' a#%o", true, "a#@"},
      {"printf '%s' \\#%o \\\\%o \"\\\\%o\"", true, "#@\\@\\@"},
      {"printf '%s' 'x\\'%o", true, "x\\@"},
      {"set -- a; printf '%s' $1%o \"$1\"%o", true, "a@a@"},
      {"(printf '%s' %o) | cat", true, "@"},
      {": | : & true; ( (true) ); printf '%s' %o", true, "@"},
      {"{ printf '%s' %o; } 2>/dev/null", true, "@"},
      {"f() { printf '%s' \"$1\"; }; f %o", true, "@"},
      {"case %o in *) printf '%s' %o;; esac", true, "@"},
      {"printf '%s' %o<<EOF\nEOF", false, "@"},
      {"printf '%s' ~%o", true, "~@"},
      {"printf '%s' \"a\\\"b%o\"", true, "a\"b@"},
      {"printf '%s' \"%o\"'%o'%o", true, "@@@"},
      {"printf '%s' \"x%oy\" '%o'\"%o\"", true, "x@y@@"},
      {"X=; printf '%s' \"$X%o$#%o\"", true, "@0@"},
      // The default extract command, the manual's examples and their neighbours, run in a
      // directory named by the value.
      {"cat > %p/%o", true, "@", true},
      {"cat > \"%p/%o\"", true, "@", true},
      {"cat > '%p'/%o", true, "@", true},
      {"gzip -c > \"%p/survey-2026.csv.gz\"", true, "survey-2026.csv.gz", true},
      {"mkdir -p \"%p/acme\" && cd \"%p/acme\" && tar xf - 2>/dev/null; :", true, "acme", true},
      {"cat > \"$( (true); echo %p)/%o\"", false, "@", true},
      {"cat > %o; echo done $(date +%%s)#%p", false, "@", true},
      {"cat > %o; echo \"$((cd .); echo %p)\"", false, "@", true},
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

// Expands in this process with `cwd` as the working directory, catching the message of a refusal
// from standard error.
Expanded expand_here(const std::string &tmpl, const std::string &out_name, const std::string &cwd) {
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int saved_err = dup(2);
  int p[2];
  if (here < 0 || saved_err < 0 || pipe(p) < 0 || chdir(cwd.c_str()) < 0)
    throw std::runtime_error("cannot expand in " + cwd);
  const char *program = process.program_name;
  process.program_name = "vardo";
  dup2(p[1], 2);
  close(p[1]);
  char *cmd = expand_template(tmpl.c_str(), out_name.c_str());
  dup2(saved_err, 2);
  close(saved_err);
  process.program_name = program;
  Expanded e{cmd != nullptr, cmd ? cmd : "", ""};
  free(cmd);
  char buf[4096];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
    e.err.append(buf, static_cast<size_t>(n));
  close(p[0]);
  if (fchdir(here) < 0)
    throw std::runtime_error("cannot return to the test's directory");
  close(here);
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

// What each run wrote, cut at the marks "\0<n>\0" the script prints after run n; a run without
// a mark did not end.
std::vector<std::string> cut_at_marks(const std::string &out, size_t runs) {
  std::vector<std::string> pieces(runs, "(no mark: the script ended before this run ended)");
  size_t from = 0;
  for (size_t at; (at = out.find('\0', from)) != std::string::npos;) {
    size_t end = out.find('\0', at + 1);
    if (end == std::string::npos)
      break;
    size_t n = std::stoul(out.substr(at + 1, end - at - 1));
    if (n < runs)
      pieces[n] = out.substr(from, at - from);
    from = end + 1;
  }
  return pieces;
}

// Every template of the matrix with every hostile value, expanded by expand_template and the
// expansions run by one shell: each pair is refused exactly where the template leaves the
// followed grammar, and otherwise the command receives exactly the value's bytes and runs nothing
// else. The runs are batched into one script for speed: each expansion is read from a file of
// its own by "command ." (a syntax error ends only that run), as "sh -c" would read it, and
// what each prints ends at a mark. (Not in a subshell: bash 5.2 there runs the last command of a
// "." file with exec, which ends the subshell.)
struct Shell {
  const char *name;
  std::vector<std::string> argv;
  const char *locale; // a locale made for the run, or null for the test's own
};

// Big5 has multibyte characters whose second byte is a backslash or a backquote. Returns the
// reason when the locale cannot be made here.
std::string make_big5_locale(const std::string &dir) {
  auto r = test::run({"localedef", "-i", "zh_TW", "-f", "BIG5", dir + "/zh_TW.BIG5"});
  return r.status == 0 ? "" : "localedef cannot make zh_TW.BIG5: " + r.out + r.err;
}

void PrintTo(const Shell &shell, std::ostream *out) { *out << shell.name; }

class ValuesAreDataInEveryShell : public ::testing::TestWithParam<Shell> {};

TEST_P(ValuesAreDataInEveryShell, EveryTemplateWithEveryHostileValue) {
  const Shell &shell = GetParam();
  if (test::run({"sh", "-c", "command -v " + shell.argv[0]}).status != 0)
    GTEST_SKIP() << shell.argv[0] << " is not installed";
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
  struct Item {
    size_t c, v;
    std::string text;
  };
  std::vector<Item> items;
  auto cases = matrix_cases();
  const auto &values = hostile_values();
  const std::string long_value = near_limit_value();
  std::string script = "R=$PWD\n";
  for (size_t c = 0; c < cases.size(); ++c) {
    const MatrixCase &mc = cases[c];
    for (size_t v = 0; v < values.size(); ++v) {
      const std::string &value = values[v];
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
      if (!e.ok && mc.names_file) {
        rmdir(cwd.c_str());
        rmdir(dir.c_str());
      }
      // An expansion that should have been refused still runs below, to show what it does.
      if (!mc.followed) {
        EXPECT_FALSE(e.ok) << what << ": " << e.text;
      }
      if (!e.ok && !mc.followed) {
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
      test::write_file(root / item_name('c', items.size()), e.text);
      script += std::string("set --; cd \"$R\"") + (mc.names_file ? "/d" + n + "/*" : "") +
                " && command . \"$R/c" + n + "\" </dev/null\nprintf '\\000%s\\000' " + n +
                "\nprintf '\\000%s\\000' " + n + " >&2\n";
      items.push_back({c, v, e.text});
    }
  }
  test::write_file(root / "all", script);
  std::vector<std::string> argv = shell.argv;
  argv.push_back("all");
  auto r = test::run(argv, o);
  EXPECT_EQ(r.status, 0) << r.err;
  auto out = cut_at_marks(r.out, items.size()), err = cut_at_marks(r.err, items.size());
  int failures = 0;
  for (size_t i = 0; i < items.size() && failures < 20; ++i) {
    const MatrixCase &mc = cases[items[i].c];
    const std::string &value = values[items[i].v];
    std::string d = root / item_name('d', i);
    bool right = out[i] == (mc.names_file ? "" : with_value(mc.expect, value));
    if (mc.names_file)
      right = right && entries(d) == std::set<std::string>{value} &&
              entries(d + "/" + value) == std::set<std::string>{with_value(mc.expect, value)};
    if (!right) {
      ++failures;
      ADD_FAILURE() << shell.name << ": " << mc.tmpl << " with " << testing::PrintToString(value)
                    << "\nexpanded: " << testing::PrintToString(items[i].text)
                    << "\nprinted: " << testing::PrintToString(out[i]) << "\nstderr: " << err[i];
    }
  }
  EXPECT_NE(access((root / "PWNED").c_str(), F_OK), 0);
  EXPECT_GT(items.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Shells, ValuesAreDataInEveryShell,
                         ::testing::Values(Shell{"dash", {"dash"}, nullptr},
                                           Shell{"bash", {"bash", "--posix"}, nullptr},
                                           Shell{"bash_big5", {"bash", "--posix"}, "zh_TW.BIG5"},
                                           Shell{"busybox", {"busybox", "sh"}, nullptr}),
                         [](const auto &info) { return std::string(info.param.name); });

// The attacks that once ran a command, end to end: an archive built with the template is run
// from a directory whose name the attacker chose. The expansion is refused before anything
// starts, whichever shell /bin/sh is (bash too, mounted over it where a mount namespace may be
// made); from a plainly named directory the same archive is not refused.
TEST(ExpandTemplate, HostileDirectoryNamesAgainstTheRealTool) {
  const std::string dir = "sub;touch PWN;echo y";
  struct {
    std::string tmpl, dir;
  } cases[] = {
      {"cat > \"$( (true); echo %p)/%o\"", dir},
      {"cat > \"$(f() { true; }; echo %p)/%o\"", dir},
      {"cat > \"$(case x in (x) true;; esac; echo %p)/%o\"", dir},
      {"cat > \"$(case x in x) true;; esac; echo %p)/%o\"", dir},
      {"cat > %o; echo done $(date +%%s)#%p", dir},
      {"cat > %o \\\n#%p", "a\ntouch PWN\n'"},
      {"cat <\\\n<EOF >/dev/null\n%p\nEOF\ncat > %o", "$(touch PWN)"},
      {"cat > \"$\\\n(echo %p)/%o\"", dir},
      {"cat > %o; echo $'%p'", "x\\'; touch PWN; echo \\'"},
      {"cat > %o; echo \"$((cd .); echo %p)\"", dir},
      {"cat > %o; echo done >& %p/install.log", dir},
      {"alias note='echo \"'\ncat > %o; note into %p\"", dir},
      {"trap 'echo %p' EXIT; cat > %o", dir},
      {"E=eval; $E \"cat > %o; ls %p\"", dir},
      {"cat > %o; test ! -v \"a[%p]\" || :", dir},
      {"cat > %o; d=%p; echo \"${d@P}\"", dir},
      {"cat > %o; a[0]=1; unset \"a[%p]\"", dir},
      {"cat > %o; compgen -W %p >/dev/null", dir},
      {"cat > %o; echo %p > c; . ./c", dir},
      {"cat > %o; echo done >&x\x81|%p", dir},
      {"cat > %o; x=%p # it's\neval \"$x\"", dir},
      {"cat > %o; x=%p; <&- eval : \"$x\"", dir},
  };
  test::ToolDir tool;
  test::write_file(tool / "f", "payload");
  bool namespaces = test::run({"unshare", "-m", "true"}).status == 0;
  std::string bash = test::run({"sh", "-c", "command -v bash"}).out;
  if (!bash.empty())
    bash.pop_back();
  for (const auto &c : cases) {
    test::RunOptions o;
    o.stdout_path = tool / "a.run";
    ASSERT_EQ(tool.run({"./vardo", "-f", c.tmpl, "-r", "touch ran", "f"}, o).status, 0);
    chmod((tool / "a.run").c_str(), 0755);
    std::vector<std::vector<std::string>> runs = {{"../../a.run"}};
    if (namespaces && !bash.empty())
      runs.push_back({"unshare", "-m", "sh", "-c",
                      "mount --bind " + bash + " /bin/sh && exec \"$0\"", "../../a.run"});
    for (const auto &argv : runs) {
      for (const std::string &name : {c.dir, std::string("plain")}) {
        test::TempDir work;
        mkdir((work / "in").c_str(), 0755);
        std::string cwd = work / ("in/" + name);
        mkdir(cwd.c_str(), 0755);
        symlink((tool / "a.run").c_str(), (work / "a.run").c_str());
        test::RunOptions in_dir;
        in_dir.cwd = cwd;
        auto r = test::run(argv, in_dir);
        std::string refusal = not_data("../../a.run", c.tmpl);
        if (name == "plain") {
          EXPECT_EQ(r.err.find(refusal), std::string::npos) << c.tmpl << r.err;
          continue;
        }
        EXPECT_EQ(r.status, 1) << c.tmpl << " via " << argv[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal) << " via " << argv[0];
        // Nothing started: no extract command, no run command, no file.
        EXPECT_NE(access((cwd + "/PWN").c_str(), F_OK), 0) << c.tmpl;
        EXPECT_TRUE(entries(cwd).empty()) << c.tmpl;
        EXPECT_EQ(entries(work / "in"), std::set<std::string>{name}) << c.tmpl;
      }
    }
  }
  if (bash.empty())
    GTEST_SKIP() << "bash is not installed: only /bin/sh was tried";
  if (!namespaces)
    GTEST_SKIP() << "unshare -m is not permitted here: bash as /bin/sh was not tried";
}

TEST(ExpandTemplate, OverlongExpansionIsRefused) {
  std::string name(1000, 'n');
  auto r = expand("%o%o", name);
  EXPECT_EQ(r.out, name + name); // 2000 characters fit
  r = expand("%o%o" + std::string(47, 'x'), name);
  EXPECT_EQ(r.out.size(), 2047u);
  r = expand("%o%o" + std::string(48, 'x'), name);
  EXPECT_EQ(r.out, "(null)");
  EXPECT_EQ(r.err, "vardo: command longer than 2047 characters after expansion: %o%o" +
                       std::string(48, 'x') + "\n");
  // The working directory must fit in the room that is left.
  r = expand(std::string(2040, 'x') + "%p", "n", "/tmp");
  EXPECT_EQ(r.out, std::string(2040, 'x') + "/tmp");
  r = expand(std::string(2044, 'x') + "%p", "n", "/tmp");
  EXPECT_EQ(r.out, "(null)");
}

} // namespace
} // namespace vardo

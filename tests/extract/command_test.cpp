#include "extract/command.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "gzstream/diagnostics.h"
#include "gzstream/stream.h"
#include "support/fork.h"

namespace vardo {
namespace {

// Expands in a child whose working directory is `cwd`; prints the result or "(null)".
test::RunResult expand(const std::string &tmpl, const std::string &out_name,
                       const std::string &cwd = "/tmp") {
  return test::run_forked([&] {
    process.program_name = "vardo";
    if (chdir(cwd.c_str()) < 0)
      exit(3);
    strcpy(stream.out_name, out_name.c_str());
    char *cmd = expand_template(tmpl.c_str());
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
  EXPECT_EQ(expand("cat > \"%o\"", "$x\"").out, "cat > \"\\$x\\\"\"");
  // The quotes count toward the limit.
  std::string name(1022, ' ');
  EXPECT_EQ(expand("%o", name).out, "'" + name + "'");
  EXPECT_EQ(expand("%o%o", name).out, "(null)");
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
      {"cat > %o", "", "cat > "},
  };
  for (const auto &c : cases)
    EXPECT_EQ(expand(c.tmpl, c.out_name).out, c.expected) << c.tmpl;
}

// Whatever a value holds and whatever quotes the template has open, the shell reads the value's
// bytes: run each expansion through /bin/sh and compare what printf received.
TEST(ExpandTemplate, ValuesReachTheShellAsData) {
  const char *templates[] = {
      "printf '[%s]' %o",
      "printf '[%s]' '%o'",
      "printf '[%s]' \"%o\"",
      "printf '[%s]' \\%o",
      "printf '[%s]' \"\\%o\"",
      "printf '[%s]' x%o'y'\"z\"",
      "printf '[%s]' \"'\"%o",
      "printf '[%s]' 'a\"b'%o\"'\\\"\"",
      // Inside a command substitution the shell quotes afresh; a comment's quote counts for
      // nothing.
      "printf '[%s]' \"$(printf %s %o)\"",
      "printf '[%s]' \"$(printf '%s' \"%o\")\"",
      "# it's a comment\nprintf '[%s]' %o",
      "printf '[%s]' \"$((1))\"%o",
  };
  const char *values[] = {"my file.txt",
                          "a;touch PWNED;b",
                          "$(touch PWNED)x",
                          "it's",
                          "\"\\`$HOME'\"",
                          "\nlead",
                          "trail\\",
                          "tab\there",
                          "*?[a]~#&|<>(){}",
                          "'",
                          "\\"};
  // What the template itself puts around the value (a backslash in "..." stays literal).
  const char *expected_frame[][2] = {{"", ""},   {"", ""},    {"", ""},  {"", ""},
                                     {"\\", ""}, {"x", "yz"}, {"'", ""}, {"a\"b", "'\""},
                                     {"", ""},   {"", ""},    {"", ""},  {"1", ""}};
  test::TempDir dir;
  test::RunOptions in_dir;
  in_dir.cwd = dir.path();
  for (size_t t = 0; t < std::size(templates); ++t) {
    for (const char *value : values) {
      auto e = expand(templates[t], value, dir.path());
      ASSERT_EQ(e.status, 0) << e.err;
      auto r = test::run({"/bin/sh", "-c", e.out}, in_dir);
      std::string want =
          std::string("[") + expected_frame[t][0] + value + expected_frame[t][1] + "]";
      EXPECT_EQ(r.out, want) << templates[t] << " with <" << value << ">: " << e.out << r.err;
    }
  }
  EXPECT_NE(access((dir / "PWNED").c_str(), F_OK), 0);
}

// Where the shell reads a value again or by other rules, no quoting keeps it data: the
// expansion is refused with a message and nothing runs.
TEST(ExpandTemplate, PlacesWhereNoQuotingHelpsAreRefused) {
  for (const char *tmpl : {"echo `basename %p`", "echo \"`basename %p`\"", "cat <<EOF\n%p\nEOF",
                           "cat <<'EOF'\n%o\nEOF", "echo \"${X:-%o}\"", "echo $((%o))",
                           "echo \"$(echo `echo %o`)\""}) {
    auto r = expand(tmpl, "x;touch PWNED;y");
    EXPECT_EQ(r.out, "(null)") << tmpl;
    EXPECT_EQ(r.err, std::string("vardo: a value would not be data where this command puts it: ") +
                         tmpl + "\n");
  }
  // A value in a comment stands as it is, unless a newline in it would end the comment.
  EXPECT_EQ(expand("true # into %o", "a b'c").out, "true # into a b'c");
  EXPECT_EQ(expand("true # into %o", "a\ntouch PWNED").out, "(null)");
  // What follows a closed substitution, or the line that starts a here-document, still counts.
  EXPECT_EQ(expand("cat <<EOF > %o\nhi\nEOF", "a b").out, "cat <<EOF > 'a b'\nhi\nEOF");
  EXPECT_EQ(expand("echo `date` ${HOME} $((1+(2))) > %o", "a b").out,
            "echo `date` ${HOME} $((1+(2))) > 'a b'");
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

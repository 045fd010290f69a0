#include "extract/command.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "driver/settings.h"
#include "gzstream/stream.h"
#include "support/fork.h"

namespace vardo {
namespace {

// Expands in a child whose working directory is `cwd`; prints the result or "(null)".
test::RunResult expand(const std::string &tmpl, const std::string &out_name,
                       const std::string &cwd = "/tmp") {
  return test::run_forked([&] {
    settings.program_name = "vardo";
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

TEST(ExpandTemplate, InsertedTextIsNotQuoted) {
  EXPECT_EQ(expand("cat > '%o'", "a b; rm -rf /").out, "cat > 'a b; rm -rf /'");
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

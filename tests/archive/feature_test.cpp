#include "archive/feature.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "lib/aplist.h"
#include "lib/process.h"
#include "support/fork.h"
#include "support/tool.h"

namespace vardo {
namespace {

class Feature : public ::testing::Test {
protected:
  ArchiveHeader h;
};

TEST_F(Feature, AddPutsOneCommaBetweenItems) {
  EXPECT_EQ(feature_add(h, "NOCOMPR"), 0);
  EXPECT_STREQ(h.features, "NOCOMPR");
  EXPECT_EQ(feature_add(h, "VFYFS=/u"), 0);
  EXPECT_STREQ(h.features, "NOCOMPR,VFYFS=/u");
}

TEST_F(Feature, AddRefusesToPassTheLimit) {
  std::string big(1020, 'x');
  ASSERT_EQ(feature_add(h, big.c_str()), 0);
  EXPECT_EQ(feature_add(h, "abc"), -1); // 1020 + "," + 3 = 1024: one too many
  EXPECT_EQ(strlen(h.features), 1020u);
  EXPECT_EQ(feature_add(h, "ab"), 0); // exactly 1023
  EXPECT_EQ(strlen(h.features), 1023u);
}

TEST_F(Feature, GetReturnsTheWholeItem) {
  strcpy(h.features, "VFYFS=/u,FSSUB=x");
  const char *item = feature_get(h, "VFYFS=");
  ASSERT_NE(item, nullptr);
  EXPECT_STREQ(item, "VFYFS=/u");
  EXPECT_STREQ(feature_value(item), "/u");
  EXPECT_STREQ(feature_get(h, "FSSUB="), "FSSUB=x");
  EXPECT_EQ(feature_get(h, "NOCOMPR"), nullptr);
  EXPECT_STREQ(feature_value("NOCOMPR"), "NOCOMPR");
}

TEST_F(Feature, GetMatchesInsideAnotherValue) {
  strcpy(h.features, "NAME=myNOCOMPRfile.tar");
  EXPECT_STREQ(feature_get(h, "NOCOMPR"), "NOCOMPRfile.tar");
}

TEST_F(Feature, GetCutsAt255Characters) {
  std::string value(300, 'v');
  strcpy(h.features, ("K=" + value).c_str());
  EXPECT_EQ(strlen(feature_get(h, "K=")), 255u);
}

// Every size that 64 bits hold, and nothing more.
TEST_F(Feature, SizeTakesEverySixtyFourBitValue) {
  const struct {
    const char *item;
    int result;
    uint64_t size;
  } cases[] = {
      {"", 0, 0},
      {"VARDO_USIZE=0", 1, 0},
      {"VARDO_USIZE=4294967296", 1, 4294967296u},
      {"VARDO_USIZE=18446744073709551615", 1, UINT64_MAX},
      {"VARDO_USIZE=18446744073709551616", -1, 0},
      {"VARDO_USIZE=99999999999999999999", -1, 0},
      {"VARDO_USIZE=", -1, 0},
      {"VARDO_USIZE=12x", -1, 0},
  };
  for (const auto &c : cases) {
    strcpy(h.features, c.item);
    uint64_t size = 7;
    EXPECT_EQ(feature_size(h, &size), c.result) << c.item;
    EXPECT_EQ(size, c.result == 1 ? c.size : 7) << c.item;
  }
}

TEST_F(Feature, GetTrimsOnlyBeforeAComma) {
  strcpy(h.features, "A=x  \t,B=y  ");
  EXPECT_STREQ(feature_get(h, "A="), "A=x");
  EXPECT_STREQ(feature_get(h, "B="), "B=y  ");
}

// The entries as the split makes them, "|" between them, or "(refused)" with the message.
std::string entries_of(ArchiveHeader &h, const char *features) {
  strcpy(h.features, features);
  auto r = test::run_forked([&] {
    process.program_name = "vardo";
    void **entries = feature_entries(h);
    std::string joined;
    for (void **e = entries; *e; ++e)
      joined += std::string(joined.empty() ? "" : "|") + static_cast<const char *>(*e);
    printf("%s", feature_check_entries(entries) < 0 ? "(refused)" : joined.c_str());
    aplist_free(entries);
  });
  return r.out + r.err;
}

// Every item becomes the entry the run command gets, split as the listing's reader expects
// (quotes keep commas, a backslash its character, both taken out), and each entry is checked as
// it will be exported: a name of the one list, or a locale that is not a plain or UTF-8 one, is
// refused, whatever quotes or backslashes spelled it.
TEST_F(Feature, EntriesAreCheckedAsTheyAreExported) {
  const std::string refused = "vardo: a feature item cannot be exported, as it changes how the "
                              "run command's shell or the loader runs it: ";
  const struct {
    const char *features, *result;
  } cases[] = {
      {"NOCOMPR,VFYFS=/u,FSSUB=inst,QK_VENDOR=acme co,  LEAD=1,,NAME=data.tar",
       "NOCOMPR=|VFYFS=/u|FSSUB=inst|QK_VENDOR=acme co|  LEAD=1|=|NAME=data.tar"},
      {"A=1,MSG=\"a, b\",C=\\\\,D=x\\,y,MY_PATH=/x,LD=1,X=PATH,XLANGUAGE=de,HOMEDIR=/x",
       "A=1|MSG=a, b|C=|D=x,y|MY_PATH=/x|LD=1|X=PATH|XLANGUAGE=de|HOMEDIR=/x"},
      {"\"A=1\",B=2 \t", "A=1|B=2"},
      // The locale items the shells read without a quote or backslash inside a character.
      {"LANG=C,LC_ALL=C.UTF-8,LC_CTYPE=en_US.UTF-8,LC_MESSAGES=de_DE.utf8,LANGUAGE=en,LANG=POSIX",
       "LANG=C|LC_ALL=C.UTF-8|LC_CTYPE=en_US.UTF-8|LC_MESSAGES=de_DE.utf8|LANGUAGE=en|LANG=POSIX"},
      {"LANGUAGE=de_DE:de:en,LC_TIME=sr_RS.UTF-8@latin,LANG=",
       "LANGUAGE=de_DE:de:en|LC_TIME=sr_RS.UTF-8@latin|LANG="},
      {"BASH_COMPLETION_DIR=/x,BASHRC=1,MY_LD_PATH=1,MY_YASH_X=1,PROMPTS=1",
       "BASH_COMPLETION_DIR=/x|BASHRC=1|MY_LD_PATH=1|MY_YASH_X=1|PROMPTS=1"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(entries_of(h, c.features), c.result) << c.features;
  const struct {
    const char *features, *entry;
  } refusals[] = {
      {"NOCOMPR,L\"D_PR\"ELOAD=/x.so", "LD_PRELOAD=/x.so"},
      {"A=\"x,B\\=y\",LD\\_PRELOAD=1,E=2", "LD_PRELOAD=1"},
      {"A=1,LD_PRELOAD=/x.so", "LD_PRELOAD=/x.so"},
      {"BASH_FUNC_echo%%=() { :; }", "BASH_FUNC_echo%%=() { :; }"},
      {"NOCOMPR,IFS,A=1", "IFS="},
      {"PATH \t,X=1", "PATH="},
      {"PATH=.", "PATH=."},
      {"A=1,LC_ALL=zh_TW.big5", "LC_ALL=zh_TW.big5"},
      {"LC_CTYPE=zh_TW,A=1", "LC_CTYPE=zh_TW"},
      {"LANG=en_US.UTF-8/../x", "LANG=en_US.UTF-8/../x"},
      {"LANG=.UTF-8", "LANG=.UTF-8"},
      {"LOCPATH=pk,LC_ALL=xx", "LOCPATH=pk"},
      {"MUSL_LOCPATH=pk", "MUSL_LOCPATH=pk"},
      {"GCONV_PATH=g", "GCONV_PATH=g"},
      {"TEXTDOMAIN=hello,TEXTDOMAINDIR=loc", "TEXTDOMAIN=hello"},
      {"A,TEXTDOMAINDIR=loc", "TEXTDOMAINDIR=loc"},
      {"HOME=/tmp/elsewhere", "HOME=/tmp/elsewhere"},
      {"LANGUAGE=../../../proc/self/cwd/xx", "LANGUAGE=../../../proc/self/cwd/xx"},
      {"LANGUAGE=de:..", "LANGUAGE=de:.."},
      {"BASH_COMPAT=31,A", "BASH_COMPAT=31"},
      {"EXECIGNORE=*", "EXECIGNORE=*"},
      {"NLSPATH=/x/%N", "NLSPATH=/x/%N"},
      {"GLIBC_TUNABLES=glibc.malloc.check=3", "GLIBC_TUNABLES=glibc.malloc.check=3"},
      {"FPATH=/dir", "FPATH=/dir"},
      {"POSIXLY_CORRECT=1", "POSIXLY_CORRECT=1"},
      {"TMOUT=1", "TMOUT=1"},
      {"ENV=/x,BASH_ENV=/y", "ENV=/x"},
      {"YASH_AFTER_CD=x", "YASH_AFTER_CD=x"},
      {"YASH_PS4=$(id)", "YASH_PS4=$(id)"},
      {"YASH_LOADPATH=/x", "YASH_LOADPATH=/x"},
      {"COMMAND_NOT_FOUND_HANDLER=echo x", "COMMAND_NOT_FOUND_HANDLER=echo x"},
      {"PS4S=$(id)", "PS4S=$(id)"},
      {"PROMPT4=$(id)", "PROMPT4=$(id)"},
      {"ZDOTDIR=/x", "ZDOTDIR=/x"},
      {"PS4=$(id)", "PS4=$(id)"},
      {"TMPPREFIX=/nonexistent/zsh", "TMPPREFIX=/nonexistent/zsh"},
      {"MALLOC_CHECK_=3", "MALLOC_CHECK_=3"},
  };
  for (const auto &c : refusals)
    EXPECT_EQ(entries_of(h, c.features), "(refused)" + refused + c.entry + "\n") << c.features;
  EXPECT_EQ(entries_of(h, ""), "");
  EXPECT_TRUE(is_plain_item_value("Acme Inc. = 1.0"));
  for (const char *value : {"a,b", "say \"x\"", "C:\\"})
    EXPECT_FALSE(is_plain_item_value(value)) << value;
}

TEST_F(Feature, TrimTrailingKeepsOtherBlanks) {
  char text[] = " a \v\f \n\r\t ";
  EXPECT_EQ(trim_trailing(text), 5u);
  EXPECT_STREQ(text, " a \v\f");
  char all[] = "  ";
  EXPECT_EQ(trim_trailing(all), 0u);
}

// What -l shows is what the run command gets: a quoted value keeps its key, so an item that reads
// as a harmless COMMENT cannot export LD_PRELOAD, and a quoted comma stays in its item. The
// library named would leave a file behind if the run command's shell loaded it.
TEST(FeatureEndToEnd, QuotedItemsKeepTheirKeys) {
  test::ToolDir tool;
  test::write_file(tool / "evil.c", "#include <fcntl.h>\n"
                                    "__attribute__((constructor)) static void f(void) {\n"
                                    "  open(\"preloaded\", O_CREAT | O_WRONLY, 0644);\n"
                                    "}\n");
  auto cc = tool.run({"sh", "-c", "cc -shared -fPIC -o evil.so evil.c"});
  if (cc.status != 0)
    GTEST_SKIP() << "no C compiler to build a library to preload: " << cc.err;
  test::write_file(tool / "f", "payload");
  std::string preload = "COMMENT=\"LD_PRELOAD=" + tool / "evil.so" + "\"";
  test::RunOptions o;
  o.stdout_path = tool / "a.run";
  ASSERT_EQ(tool.run({"./vardo", "-F", preload, "-F", "MSG=\"hello, world\",T=1", "-r",
                      "env > env.out", "f"},
                     o)
                .status,
            0);
  chmod((tool / "a.run").c_str(), 0755);
  auto listing = tool.run({"./a.run", "-l"});
  EXPECT_NE(
      listing.out.find(preload + ",MSG=\"hello, world\",T=1,VARDO_TRAILER,VARDO_USIZE=7,NAME=f"),
      std::string::npos)
      << listing.out;
  mkdir((tool / "out").c_str(), 0755);
  test::RunOptions in_out;
  in_out.cwd = tool / "out";
  auto r = tool.run({"../a.run"}, in_out);
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream env(test::read_file(tool / "out/env.out"));
  std::vector<std::string> ours;
  for (std::string line; std::getline(env, line);)
    for (const char *key : {"COMMENT=", "MSG=", "T=", "LD_PRELOAD=", "hello", "NAME="})
      if (line.starts_with(key))
        ours.push_back(line);
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, (std::vector<std::string>{"COMMENT=LD_PRELOAD=" + tool / "evil.so",
                                            "MSG=hello, world", "NAME=f", "T=1"}));
  EXPECT_NE(access((tool / "out/preloaded").c_str(), F_OK), 0);
  // A name that changes how the command runs, however the split spells it, is not exported at
  // all: the build is refused, and so is the run of an archive made some other way, before
  // anything is unpacked.
  const std::string why = "a feature item cannot be exported, as it changes how the run "
                          "command's shell or the loader runs it: LD_PRELOAD=" +
                          tool / "evil.so" + "\n";
  for (std::string hidden : {"L\"D_PR\"ELOAD=", "LD\\_PRELOAD=", "LD_PRELOAD="}) {
    hidden += tool / "evil.so";
    r = tool.run({"./vardo", "-F", hidden, "-r", "env > env2.out", "f"}, o);
    EXPECT_EQ(r.status, 1) << hidden;
    EXPECT_EQ(r.err, "./vardo: " + why) << hidden;
    EXPECT_EQ(test::read_file(tool / "a.run"), "") << hidden;
    tool.make_archive("b.run", hidden + ",NOCOMPR,NAME=f", "", "env > env2.out", "", "payload");
    r = tool.run({"../b.run"}, in_out);
    EXPECT_EQ(r.status, 1) << hidden;
    EXPECT_EQ(r.err, "../b.run: " + why) << hidden;
    EXPECT_NE(access((tool / "out/env2.out").c_str(), F_OK), 0) << hidden;
    EXPECT_NE(access((tool / "out/preloaded").c_str(), F_OK), 0) << hidden;
  }
  // Without a run command nothing is exported, and nothing is refused.
  EXPECT_EQ(tool.run({"./vardo", "-F", "LD_PRELOAD=x", "f"}, o).status, 0);
}

} // namespace
} // namespace vardo

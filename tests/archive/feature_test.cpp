#include "archive/feature.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
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

// An item whose name holds a quote or a backslash, or changes how the shell or the loader runs
// the command, is found, whatever the values hold.
TEST_F(Feature, RefusedItemsAreFound) {
  const std::string quoted = "its name holds a double quote or a backslash";
  const std::string running = "it changes how the run command's shell or the loader runs it";
  struct {
    const char *features;
    const char *refused; // null for none
    const std::string *why;
  } cases[] = {
      {"A=1,MSG=\"a, b\",C=\\\\,D=x\\,y,MY_PATH=/x,LD=1,X=PATH,XLANGUAGE=de,XLC_ALL=1,HOMEDIR=/x",
       nullptr, nullptr},
      {"NOCOMPR,L\"D_PR\"ELOAD=/x.so", "L\"D_PR\"ELOAD=/x.so", &quoted},
      {"A=\"x,B\\=y\",LD\\_PRELOAD=1,E=2", "LD\\_PRELOAD=1,E=2", &quoted},
      {"\"A=1\"", "\"A=1\"", &quoted},
      {"A=1,LD_PRELOAD=/x.so", "LD_PRELOAD=/x.so", &running},
      {"BASH_FUNC_echo%%=() { :; }", "BASH_FUNC_echo%%=() { :; }", &running},
      {"NOCOMPR,IFS,A=1", "IFS,A=1", &running},
      {"PATH \t,X=1", "PATH \t,X=1", &running},
      {"PATH=.", "PATH=.", &running},
      {"A=1,LC_ALL=zh_TW.big5", "LC_ALL=zh_TW.big5", &running},
      {"LC_CTYPE=C,A=1", "LC_CTYPE=C,A=1", &running},
      {"NOCOMPR,LANG", "LANG", &running},
      {"LOCPATH=pk,LC_ALL=xx", "LOCPATH=pk,LC_ALL=xx", &running},
      {"GCONV_PATH=g", "GCONV_PATH=g", &running},
      {"TEXTDOMAIN=hello,TEXTDOMAINDIR=loc", "TEXTDOMAIN=hello,TEXTDOMAINDIR=loc", &running},
      {"A,TEXTDOMAINDIR=loc", "TEXTDOMAINDIR=loc", &running},
      {"HOME=/tmp/elsewhere", "HOME=/tmp/elsewhere", &running},
      {"LANGUAGE=../../../proc/self/cwd/xx", "LANGUAGE=../../../proc/self/cwd/xx", &running},
      {"BASH_COMPAT=31,A", "BASH_COMPAT=31,A", &running},
      {"EXECIGNORE=*", "EXECIGNORE=*", &running},
      {"NLSPATH=/x/%N", "NLSPATH=/x/%N", &running},
      {"GLIBC_TUNABLES=glibc.malloc.check=3", "GLIBC_TUNABLES=glibc.malloc.check=3", &running},
      {"", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    strcpy(h.features, c.features);
    const char *why = nullptr;
    const char *found = feature_refused_item(h, &why);
    EXPECT_STREQ(found, c.refused) << c.features;
    if (c.why) {
      EXPECT_EQ(why ? std::string(why) : "", *c.why) << c.features;
    }
  }
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

TEST_F(Feature, ExportPutsEveryItemInTheEnvironment) {
  auto r = test::run_forked([&] {
    strcpy(h.features, "NOCOMPR,VFYFS=/u,FSSUB=inst,QK_VENDOR=acme co,  LEAD=1,,NAME=data.tar");
    feature_export(h);
    for (const char *name : {"NOCOMPR", "VFYFS", "FSSUB", "QK_VENDOR", "  LEAD", "NAME"}) {
      const char *v = getenv(name);
      printf("%s=[%s]\n", name, v ? v : "(unset)");
    }
    // The empty item between two commas becomes the entry "=".
    for (char **e = environ; *e; ++e)
      if (strcmp(*e, "=") == 0)
        printf("lone equals\n");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "NOCOMPR=[]\nVFYFS=[/u]\nFSSUB=[inst]\nQK_VENDOR=[acme co]\n  LEAD=[1]\n"
                   "NAME=[data.tar]\nlone equals\n");
}

TEST_F(Feature, ExportOfEmptyStringExportsNothing) {
  auto r = test::run_forked([&] {
    int before = 0, after = 0;
    for (char **e = environ; *e; ++e)
      ++before;
    feature_export(h);
    for (char **e = environ; *e; ++e)
      ++after;
    printf("%d\n", after - before);
  });
  EXPECT_EQ(r.out, "0\n");
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
  EXPECT_NE(listing.out.find(preload + ",MSG=\"hello, world\",T=1,NAME=f"), std::string::npos)
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
  // A name that the split would change, or one that changes how the command runs, is not
  // exported at all: the run is refused before anything is unpacked.
  const std::string quoted = "its name holds a double quote or a backslash";
  const std::string running = "it changes how the run command's shell or the loader runs it";
  for (auto [hidden, why] : {std::pair{std::string("L\"D_PR\"ELOAD="), quoted},
                             std::pair{std::string("LD\\_PRELOAD="), quoted},
                             std::pair{std::string("LD_PRELOAD="), running}}) {
    hidden += tool / "evil.so";
    ASSERT_EQ(tool.run({"./vardo", "-F", hidden, "-r", "env > env2.out", "f"}, o).status, 0);
    r = tool.run({"../a.run"}, in_out);
    EXPECT_EQ(r.status, 1) << hidden;
    EXPECT_EQ(r.err,
              "../a.run: a feature item cannot be exported, as " + why + ": " + hidden + "\n");
    EXPECT_NE(access((tool / "out/env2.out").c_str(), F_OK), 0) << hidden;
    EXPECT_NE(access((tool / "out/preloaded").c_str(), F_OK), 0) << hidden;
  }
}

} // namespace
} // namespace vardo

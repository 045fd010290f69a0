#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "support/fork.h"
#include "support/process.h"
#include "support/tool.h"

namespace vardo {
namespace {

using test::archive_usage;
using test::build_usage;

TEST(Binary, MagicNeverStandsInOnePiece) {
  std::string bytes = test::read_file(test::vardo_binary());
  ASSERT_GT(bytes.size(), 10000u);
  EXPECT_EQ(bytes.find(std::string(make_magic(), kMagicSize)), std::string::npos);
}

// The executable starts wherever the kernel does: no loader, no shared library, and small,
// since every archive carries it.
TEST(Binary, FullyStaticAndSmall) {
#ifndef VARDO_STATIC
  GTEST_SKIP() << "this build links the executable against the system C library (the sanitizer "
                  "build, or VARDO_STATIC=OFF)";
#endif
  test::ElfFacts elf = test::read_elf(test::vardo_binary());
  ASSERT_TRUE(elf.elf);
  EXPECT_FALSE(elf.interpreter);
  EXPECT_FALSE(elf.dynamic);
  auto r = test::run({"ldd", test::vardo_binary()});
  EXPECT_NE(r.status, 0);
  EXPECT_NE((r.out + r.err).find("not a dynamic executable"), std::string::npos) << r.out << r.err;
  EXPECT_LE(test::read_file(test::vardo_binary()).size(), 192u * 1024); // every archive carries it
}

class Driver : public ::testing::Test {
protected:
  test::ToolDir tool;
};

// The program reads the file the system runs, not what its name finds: an executable archive
// named "vardo" in the current directory, or a bare name that PATH does not lead back to, leave
// the plain tool the plain tool.
TEST_F(Driver, PlantedNamesakeIsNotTakenForTheProgram) {
  test::TempDir shared;
  test::write_file(shared / "mine.txt", "mine");
  std::string planted =
      test::archive_bytes(tool.tool_bytes(), "NAME=x", "", "touch PWNED", "touch EXTRACTED", "raw");
  test::write_file(shared / "vardo", planted, 0755);
  test::RunOptions o;
  o.cwd = shared.path();
  o.env = {"PATH=" + tool.path() + ":/usr/bin:/bin"};
  o.stdout_path = shared / "mine.run";
  auto by_path = test::run({"vardo", "mine.txt"}, o);
  o.env = {"PATH=/usr/bin:/bin"};
  o.stdout_path = shared / "mine2.run";
  auto by_name = test::run({"bash", "-c", "exec -a vardo " + (tool / "vardo") + " mine.txt"}, o);
  for (const auto &r : {by_path, by_name}) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
  for (const char *out : {"mine.run", "mine2.run"}) {
    std::string archive = test::read_file(shared / out);
    EXPECT_TRUE(archive.compare(0, tool.tool_bytes().size(), tool.tool_bytes()) == 0) << out;
  }
  EXPECT_NE(access((shared / "PWNED").c_str(), F_OK), 0);
  EXPECT_NE(access((shared / "EXTRACTED").c_str(), F_OK), 0);
  EXPECT_TRUE(test::read_file(shared / "vardo") == planted);
}

// A program that may be executed but not read cannot find its payload or copy itself: one
// message, status 1, instead of the plain tool's usage.
TEST_F(Driver, ProgramThatCannotReadItself) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the program as another user";
  if (test::run({"setpriv", "--help"}).status != 0)
    GTEST_SKIP() << "setpriv is not available";
  tool.make_archive("a.run", "NAME=x", "", "touch ran", "", "raw");
  chmod(tool.path().c_str(), 0755);
  chmod((tool / "a.run").c_str(), 0111);
  auto r = tool.run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "./a.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "./a.run: cannot read the program's own file: Permission denied\n");
  EXPECT_NE(access((tool / "ran").c_str(), F_OK), 0);
}

TEST_F(Driver, NoArgumentsAsksForFiles) {
  auto r = tool.run({"./vardo"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, build_usage("./vardo") + "./vardo: what files do you want to compress?\n");
}

TEST_F(Driver, HelpOnThePlainTool) {
  for (const char *opt : {"-h", "-?"}) {
    auto r = tool.run({"./vardo", opt, "file"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, build_usage("./vardo"));
  }
}

TEST_F(Driver, HelpOnAnArchiveShowsItsComment) {
  tool.make_archive("a.run", "NAME=x", "My installer", "", "", "");
  auto r = tool.run({"./a.run", "-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, archive_usage("./a.run", "My installer"));
}

TEST_F(Driver, CommentOptionBeforeHelpOnAnArchive) {
  tool.make_archive("a.run", "NAME=x", "My installer", "", "", "");
  auto r = tool.run({"./a.run", "-C", "other text", "-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, archive_usage("./a.run", "other text"));
}

TEST_F(Driver, UseOperandSwitchesModeFromWhereItStands) {
  auto r = tool.run({"./vardo", "-u", "-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, archive_usage("./vardo", ""));
  r = tool.run({"./vardo", "-h", "-u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, build_usage("./vardo"));
}

TEST_F(Driver, UnknownOptionAndMissingArgument) {
  auto r = tool.run({"./vardo", "-z", "file"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "./vardo: invalid option -- 'z'\n" + build_usage("./vardo"));
  r = tool.run({"./vardo", "-C"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./vardo: option requires an argument -- 'C'\n" + build_usage("./vardo"));
}

TEST_F(Driver, UseOperandWithoutOperand) {
  auto r = tool.run({"./vardo", "-u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, archive_usage("./vardo", "Self-Extracting archive file"));
}

TEST_F(Driver, OverlongArgumentsAreRefused) {
  std::string k1023(1023, 'k'), k1024(1024, 'k');
  for (const char *opt : {"-C", "-r", "-f", "-p"}) {
    auto r = tool.run({"./vardo", opt, k1023, "-h"});
    EXPECT_EQ(r.err, build_usage("./vardo")) << opt; // accepted: -h is reached
    r = tool.run({"./vardo", opt, k1024, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              std::string("./vardo: the argument of ") + opt + " is longer than 1023 characters\n");
  }
  auto r = tool.run({"./vardo", "-u", "-t", k1024, "-h"});
  EXPECT_EQ(r.err, "./vardo: the argument of -t is longer than 1023 characters\n");
  // -t is ignored in build mode, whatever its length.
  r = tool.run({"./vardo", "-t", k1024, "-h"});
  EXPECT_EQ(r.err, build_usage("./vardo"));
}

TEST_F(Driver, OverlongFeatureItemsAreRefused) {
  struct Case {
    const char *opt;
    size_t limit;
  };
  for (Case c : {Case{"-V", 249}, Case{"-S", 249}, Case{"-O", 245}}) {
    auto r = tool.run({"./vardo", c.opt, std::string(c.limit, 'v'), "-h"});
    EXPECT_EQ(r.err, build_usage("./vardo")) << c.opt;
    r = tool.run({"./vardo", c.opt, std::string(c.limit + 1, 'v'), "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("./vardo: the argument of ") + c.opt + " is longer than " +
                         std::to_string(c.limit) + " characters\n");
  }
  std::string half(600, 'f');
  auto r = tool.run({"./vardo", "-F", half, "-F", half, "-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "./vardo: the feature string would be longer than 1023 characters\n");
  // In archive mode the feature options are ignored, so nothing is refused.
  r = tool.run({"./vardo", "-u", "-F", half, "-F", half, "-h"});
  EXPECT_EQ(r.err, archive_usage("./vardo", ""));
}

} // namespace
} // namespace vardo

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "support/fork.h"

namespace vardo {
namespace {

// Each case runs in a child with its own working directory and PATH.
class Locate : public ::testing::Test {
protected:
  void SetUp() override {
    mkdir((dir_ / "bin1").c_str(), 0755);
    mkdir((dir_ / "bin2").c_str(), 0755);
    mkdir((dir_ / "work").c_str(), 0755);
  }
  std::string locate_in_child(const char *name, const char *path_env) {
    auto r = test::run_forked([&] {
      if (chdir((dir_ / "work").c_str()) < 0)
        exit(3);
      if (path_env)
        setenv("PATH", path_env, 1);
      else
        unsetenv("PATH");
      const char *got = locate_program(name);
      printf("%s", got ? got : "(null)");
    });
    EXPECT_EQ(r.status, 0);
    return r.out;
  }
  test::TempDir dir_;
};

TEST_F(Locate, DotNameIsReturnedUnchangedEvenWhenNotExecutable) {
  test::write_file(dir_ / "work/.archive", "x", 0644);
  std::string path = dir_ / "bin1";
  EXPECT_EQ(locate_in_child("./archive.run", path.c_str()), "./archive.run");
  EXPECT_EQ(locate_in_child(".archive", path.c_str()), ".archive");
}

TEST_F(Locate, NonExecutableBareNameGoesToPathSearch) {
  test::write_file(dir_ / "work/tool", "x", 0644);
  test::write_file(dir_ / "bin2/tool", "x", 0755);
  std::string path = dir_ / "bin1" + ":" + dir_ / "bin2";
  EXPECT_EQ(locate_in_child("tool", path.c_str()), dir_ / "bin2/tool");
}

TEST_F(Locate, ExecutableInCurrentDirectoryWins) {
  test::write_file(dir_ / "work/tool", "x", 0755);
  test::write_file(dir_ / "bin1/tool", "x", 0755);
  std::string path = dir_ / "bin1";
  EXPECT_EQ(locate_in_child("tool", path.c_str()), "tool");
}

TEST_F(Locate, FirstPathElementWins) {
  test::write_file(dir_ / "bin1/tool", "x", 0755);
  test::write_file(dir_ / "bin2/tool", "x", 0755);
  std::string path = dir_ / "nothere:" + dir_ / "bin1:" + dir_ / "bin2";
  EXPECT_EQ(locate_in_child("tool", path.c_str()), dir_ / "bin1/tool");
}

TEST_F(Locate, UnsetPathGivesNull) { EXPECT_EQ(locate_in_child("tool", nullptr), "(null)"); }

TEST_F(Locate, EmptyElementMeansRootNotCurrentDirectory) {
  // An empty element gives "/" followed by the name: found below the root directory even
  // though the working directory has no "bin" of its own.
  EXPECT_EQ(locate_in_child("bin/sh", ":"), "/bin/sh");
  EXPECT_EQ(locate_in_child("nonexistent-tool", ":"), "(null)");
}

TEST_F(Locate, AbsoluteNameThatFailsGoesThroughPath) {
  std::string name = dir_ / "bin1/missing";
  EXPECT_EQ(locate_in_child(name.c_str(), "/usr/bin"), "(null)");
  // An absolute name below a PATH element resolves to "element/" + name.
  test::write_file(dir_ / "bin1/tool", "x", 0755);
  std::string path = dir_ / "bin1";
  EXPECT_EQ(locate_in_child("/tool", path.c_str()), dir_ / "bin1//tool");
}

TEST_F(Locate, OverlongPathElementIsSkipped) {
  test::write_file(dir_ / "bin1/tool", "x", 0755);
  std::string path = "/" + std::string(1100, 'x') + ":" + dir_ / "bin1";
  EXPECT_EQ(locate_in_child("tool", path.c_str()), dir_ / "bin1/tool");
}

} // namespace
} // namespace vardo

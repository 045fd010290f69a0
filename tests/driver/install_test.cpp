// The tool as people meet it: the installed files, the manual page and the example installer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/process.h"

namespace vardo {
namespace {

bool installed(const char *tool) {
  return test::run({"sh", "-c", std::string("command -v ") + tool}).status == 0;
}

TEST(Install, IntoADestdirAndUseTheInstalledTool) {
  test::TempDir dest;
  test::RunOptions o;
  o.env = {"DESTDIR=" + dest.path()};
  auto r = test::run({"cmake", "--install", VARDO_BUILD_DIR, "--prefix", "/opt/vardo"}, o);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bin = dest / "opt/vardo/bin/vardo";
  struct stat st;
  ASSERT_EQ(stat(bin.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_EQ(test::read_file(dest / "opt/vardo/share/man/man1/vardo.1"),
            test::read_file(std::string(VARDO_SOURCE_DIR) + "/docs/vardo.1"));
  // The installed tool builds an archive that unpacks itself.
  mkdir((dest / "work").c_str(), 0755);
  test::write_file(dest / "work/file.txt", "installed and working\n");
  test::RunOptions build;
  build.cwd = dest / "work";
  build.stdout_path = dest / "work/a.run";
  ASSERT_EQ(test::run({bin, "file.txt"}, build).status, 0);
  chmod((dest / "work/a.run").c_str(), 0755);
  mkdir((dest / "out").c_str(), 0755);
  test::RunOptions unpack;
  unpack.cwd = dest / "out";
  EXPECT_EQ(test::run({dest / "work/a.run"}, unpack).status, 0);
  EXPECT_EQ(test::read_file(dest / "out/file.txt"), "installed and working\n");
}

TEST(ManualPage, RendersWithoutWarnings) {
  std::string page = std::string(VARDO_SOURCE_DIR) + "/docs/vardo.1";
  if (installed("groff")) {
    auto r = test::run({"groff", "-t", "-man", "-Tutf8", "-ww", "-z", page});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  } else if (installed("mandoc")) {
    auto r = test::run({"mandoc", "-Tlint", page});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  } else {
    GTEST_SKIP() << "neither groff nor mandoc is installed";
  }
  // Every option letter of the command line has an entry of its own.
  std::string text = test::read_file(page);
  for (char letter : std::string("huclxnvtapCfrVSOF")) {
    std::string dash = std::string("\\-") + letter;
    bool entry = text.find("\n.B " + dash + "\n") != std::string::npos ||
                 text.find("\n.BI " + dash + " ") != std::string::npos ||
                 text.find("\n.BR " + dash + " ") != std::string::npos;
    EXPECT_TRUE(entry) << "no entry for -" << letter;
  }
}

TEST(Example, InstallerScriptBuildsListsAndRuns) {
  test::TempDir work;
  test::RunOptions o;
  o.env = {"TZ=UTC"};
  auto r = test::run({std::string(VARDO_SOURCE_DIR) + "/examples/installer/build.sh",
                      test::vardo_binary(), work / "demo"},
                     o);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Feature: QK_VENDOR=Example Vendor,PACKAGE=hello,VERSION=1.0,"
                       "NAME=hello-1.0.tar\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("installing hello 1.0 from Example Vendor (hello-1.0.tar) into " +
                       work / "demo/prefix"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("hello from hello, installed by a vardo archive\n"), std::string::npos);
  EXPECT_NE(r.out.find("the payload is the package, byte for byte\n"), std::string::npos);
  EXPECT_EQ(test::read_file(work / "demo/prefix/share/doc/hello/README"),
            test::read_file(std::string(VARDO_SOURCE_DIR) +
                            "/examples/installer/package/share/doc/hello/README"));
}

} // namespace
} // namespace vardo

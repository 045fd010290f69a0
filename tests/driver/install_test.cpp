// The tool as people meet it: the installed files, the manual page, the example installer, and
// archives run where almost nothing is installed or on another processor.
#include <algorithm>
#include <elf.h>
#include <filesystem>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "driver/version.h"
#include "support/digest.h"
#include "support/process.h"
#include "support/tool.h"

namespace vardo {
namespace {

bool installed(const char *tool) {
  return test::run({"sh", "-c", std::string("command -v ") + tool}).status == 0;
}

// The preambles for other processors in the build directory, by file name.
std::vector<std::string> built_preambles() {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(VARDO_BUILD_DIR)) {
    std::string name = entry.path().filename();
    if (name.rfind("preamble-", 0) == 0 && entry.is_regular_file())
      names.push_back(name);
  }
  return names;
}

// Why no AArch64 preamble stands in the build directory.
#ifdef VARDO_SANITIZED
constexpr const char *kNoAArch64Preamble =
    "the sanitizer tree builds no static preamble: the release tree tests them";
#else
constexpr const char *kNoAArch64Preamble =
    "no AArch64 preamble was built (make preamble ARCH=aarch64 needs g++-aarch64-linux-gnu, "
    "musl-dev:arm64 and zlib1g-dev:arm64)";
#endif

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
  // The manual page compressed with gzip -9n: no stored name, no time stamp.
  std::string page = dest / "opt/vardo/share/man/man1/vardo.1.gz";
  EXPECT_EQ(test::read_file(page).substr(3, 5), std::string(5, '\0'));
  EXPECT_EQ(test::run({"gzip", "-dc", page}).out,
            test::read_file(std::string(VARDO_BUILD_DIR) + "/vardo.1"));
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

TEST(Install, PreamblesBelowLibVardo) {
  std::vector<std::string> preambles = built_preambles();
  if (preambles.empty())
    GTEST_SKIP() << kNoAArch64Preamble;
  test::TempDir dest;
  test::RunOptions o;
  o.env = {"DESTDIR=" + dest.path()};
  auto r = test::run({"cmake", "--install", VARDO_BUILD_DIR, "--prefix", "/opt/vardo"}, o);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string &name : preambles) {
    std::string path = dest / ("opt/vardo/lib/vardo/" + name);
    EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
    EXPECT_EQ(test::read_file(path), test::read_file(std::string(VARDO_BUILD_DIR) + "/" + name));
  }
}

// make package: a Debian package named after the version the tool prints, with a sound control
// file and the installed files, whose tool builds and unpacks an archive where it is unpacked.
TEST(Package, DebianPackageHoldsAWorkingTool) {
  if (!installed("dpkg-deb") || !installed("cpack"))
    GTEST_SKIP() << "dpkg-deb or cpack is not installed";
  std::string usage = test::run({test::vardo_binary(), "-h"}).err;
  size_t at = usage.find("vardo ");
  ASSERT_NE(at, std::string::npos) << usage;
  std::string version = usage.substr(at + 6, usage.find(' ', at + 6) - at - 6);
  test::TempDir out;
  auto r = test::run({"cpack", "-G", "DEB", "--config",
                      std::string(VARDO_BUILD_DIR) + "/CPackConfig.cmake", "-B", out.path()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string arch = test::run({"dpkg", "--print-architecture"}).out;
  arch.erase(arch.find_last_not_of('\n') + 1);
  std::string deb = out / ("vardo_" + version + "_" + arch + ".deb");
  auto info = test::run({"dpkg-deb", "--info", deb});
  ASSERT_EQ(info.status, 0) << info.err;
  for (const std::string &field :
       std::vector<std::string>{"Package: vardo\n", "Version: " + version + "\n",
                                "Architecture: " + arch + "\n", "Maintainer: vardo maintainers <",
                                "Description: make and unpack self-extracting archives\n"})
    EXPECT_NE(info.out.find(" " + field), std::string::npos) << field << info.out;
#ifdef VARDO_STATIC
  EXPECT_EQ(info.out.find("Depends:"), std::string::npos) << info.out; // static: needs nothing
#endif
  test::TempDir root;
  ASSERT_EQ(test::run({"dpkg-deb", "-x", deb, root.path()}).status, 0);
  std::vector<std::string> want = {
      "./usr/bin/vardo", "./usr/share/man/man1/vardo.1.gz", "./usr/share/doc/vardo/copyright",
      "./usr/share/doc/vardo/changelog.gz", "./usr/share/lintian/overrides/vardo"};
  for (const std::string &name : built_preambles())
    want.push_back("./usr/lib/vardo/" + name);
  std::string files = test::run({"sh", "-c", "find . -type f | sort", "x"},
                                [&] {
                                  test::RunOptions o;
                                  o.cwd = root.path();
                                  return o;
                                }())
                          .out;
  std::sort(want.begin(), want.end());
  std::string expected;
  for (const std::string &name : want)
    expected += name + "\n";
  EXPECT_EQ(files, expected);
  // Each of lintian's overrides names files the package holds: one that matches nothing is a
  // warning of its own.
  std::string overrides = test::read_file(root / "usr/share/lintian/overrides/vardo");
  for (size_t at = 0, eol; (eol = overrides.find('\n', at)) != std::string::npos; at = eol + 1) {
    std::string line = overrides.substr(at, eol - at);
    if (line.empty() || line[0] == '#')
      continue;
    size_t open = line.find(" ["), close = line.rfind(']');
    ASSERT_NE(open, std::string::npos) << line;
    std::string pattern = "./" + line.substr(open + 2, close - open - 2) + "\n";
    bool matched = false;
    for (size_t f = 0, end; !matched && (end = files.find('\n', f)) != std::string::npos;
         f = end + 1)
      matched = fnmatch(pattern.substr(0, pattern.size() - 1).c_str(),
                        files.substr(f, end - f).c_str(), 0) == 0;
    EXPECT_TRUE(matched) << line << "\n" << files;
  }
#ifndef VARDO_SANITIZED
  // Debian's own checker, pedantic, finds nothing to say of it (the package of the static
  // executable: the sanitizer tree's executable needs the sanitizer runtime). Its scratch
  // directories go into a directory of the test's own.
  if (installed("lintian")) {
    test::TempDir scratch;
    test::RunOptions o;
    o.env = {"TMPDIR=" + scratch.path()};
    auto lint = test::run({"lintian", "--pedantic", "--display-info", deb}, o);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    EXPECT_EQ(lint.out, "");
  }
#endif
  // The unpacked tool builds an archive of itself and unpacks it.
  test::write_file(root / "data.txt", "packaged and working\n");
  test::RunOptions o;
  o.cwd = root.path();
  o.stdout_path = root / "a.run";
  ASSERT_EQ(test::run({root / "usr/bin/vardo", "data.txt"}, o).status, 0);
  chmod((root / "a.run").c_str(), 0755);
  mkdir((root / "x").c_str(), 0755);
  o = {};
  o.cwd = root / "x";
  EXPECT_EQ(test::run({"../a.run"}, o).status, 0);
  EXPECT_EQ(test::read_file(root / "x/data.txt"), "packaged and working\n");
}

// An archive in a root that holds nothing but itself and a static busybox as /bin/sh, cat and
// tar: it needs no loader, no library and no file of the system to unpack and install.
class EmptyRoot : public ::testing::Test {
protected:
  void SetUp() override {
#ifndef VARDO_STATIC
    GTEST_SKIP() << "this build links the executable against the system C library";
#endif
    test::ElfFacts busybox = test::read_elf("/bin/busybox");
    if (!busybox.elf || busybox.interpreter)
      GTEST_SKIP() << "no static /bin/busybox (Debian's busybox-static)";
    if (!installed("unshare"))
      GTEST_SKIP() << "unshare is not installed";
    mkdir((root_ / "bin").c_str(), 0755);
    test::write_file(root_ / "bin/busybox", test::read_file("/bin/busybox"), 0755);
    for (const char *applet : {"sh", "cat", "tar"})
      ASSERT_EQ(symlink("busybox", (root_ / "bin/" + applet).c_str()), 0);
    auto r = enter({"/bin/sh", "-c", "exit 0"}, "/");
    if (r.status != 0)
      GTEST_SKIP() << "cannot enter a new root directory: " << r.err;
  }

  // Runs argv with the new root directory and `cwd` inside it.
  test::RunResult enter(const std::vector<std::string> &argv, const std::string &cwd) {
    std::vector<std::string> cmd = {"unshare", "--root=" + root_.path(), "--wd=" + cwd};
    if (geteuid() != 0)
      cmd.push_back("--map-root-user");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    test::RunOptions o;
    o.env = {"PATH=/bin"};
    return test::run(cmd, o);
  }

  // Builds an archive of `file` (in the scratch directory) as /NAME in the new root.
  void build(const std::string &name, const std::vector<std::string> &options,
             const std::string &file) {
    std::vector<std::string> argv = {test::vardo_binary()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(file);
    test::RunOptions o;
    o.cwd = scratch_.path();
    o.stdout_path = root_ / name;
    auto r = test::run(argv, o);
    ASSERT_EQ(r.status, 0) << r.err;
    chmod((root_ / name).c_str(), 0755);
  }

  test::TempDir root_, scratch_;
};

TEST_F(EmptyRoot, DefaultExtractCommandAndRunCommand) {
  std::string payload = test::random_bytes(300000, 15);
  test::write_file(scratch_ / "payload.bin", payload);
  build("a.run", {"-F", "PACKAGE=demo", "-r", "echo \"ran $PACKAGE\" > ran.txt"}, "payload.bin");
  mkdir((root_ / "out").c_str(), 0755);
  auto r = enter({"/a.run"}, "/out");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::read_file(root_ / "out/payload.bin"), payload);
  EXPECT_EQ(test::read_file(root_ / "out/ran.txt"), "ran demo\n");
  // The listing verifies the payload without /dev/null or any other file of the system.
  r = enter({"/a.run", "-l"}, "/");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("    300000   0.0% payload.bin\n Digest: sha256 "), std::string::npos)
      << r.out;
}

// Without /proc the tool still reads its own file, the one the system started, never a file of
// the same name in the current directory, where another user may have put one: neither as the
// archive that runs, nor as the preamble of an archive it builds.
TEST_F(EmptyRoot, OwnFileIsTheOneStartedWithoutProc) {
  test::write_file(scratch_ / "f", "data\n");
  mkdir((root_ / "out").c_str(), 0755);
  build("bin/a.run", {"-f", "cat > f", "-r", "echo archive > ran.txt"}, "f");
  build("out/a.run", {"-f", "cat > f", "-r", "echo decoy > ran.txt"}, "f");
  auto r = enter({"/bin/sh", "-c", "a.run"}, "/out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(root_ / "out/ran.txt"), "archive\n");

  std::string tool = test::read_file(test::vardo_binary());
  test::write_file(root_ / "bin/vardo", tool, 0755);
  test::write_file(root_ / "out/vardo", "#!/bin/sh\necho decoy\n", 0755);
  r = enter({"/bin/sh", "-c", "vardo -C c f > new.run"}, "/out");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string built = test::read_file(root_ / "out/new.run");
  EXPECT_TRUE(built.starts_with(tool)) << "the preamble is not the tool: " << built.substr(0, 40);
}

TEST_F(EmptyRoot, TarInstaller) {
  mkdir((scratch_ / "pkg").c_str(), 0755);
  std::string program = test::random_bytes(200000, 16), text = test::text_bytes(50000, 17);
  test::write_file(scratch_ / "pkg/program", program, 0755);
  test::write_file(scratch_ / "pkg/README", text);
  test::RunOptions in_scratch;
  in_scratch.cwd = scratch_.path();
  ASSERT_EQ(test::run({"tar", "cf", "pkg.tar", "pkg"}, in_scratch).status, 0);
  build("pkg.run", {"-f", "tar xf -", "-r", "cat pkg/README > copy.txt"}, "pkg.tar");
  mkdir((root_ / "out").c_str(), 0755);
  auto r = enter({"/pkg.run"}, "/out");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::read_file(root_ / "out/pkg/program"), program);
  EXPECT_EQ(test::read_file(root_ / "out/pkg/README"), text);
  EXPECT_EQ(test::read_file(root_ / "out/copy.txt"), text);
}

// The x86-64 tool builds an archive with the AArch64 preamble (-p), lists it, and the archive
// unpacks and installs under qemu.
TEST(Preamble, AArch64ArchiveRunsUnderQemu) {
  std::string preamble = std::string(VARDO_BUILD_DIR) + "/preamble-aarch64";
  if (access(preamble.c_str(), F_OK) != 0)
    GTEST_SKIP() << kNoAArch64Preamble;
  if (!installed("qemu-aarch64-static"))
    GTEST_SKIP() << "qemu-aarch64-static is not installed (Debian's qemu-user-static)";
  test::ElfFacts elf = test::read_elf(preamble);
  EXPECT_EQ(elf.machine, unsigned{EM_AARCH64});
  EXPECT_FALSE(elf.interpreter);
  EXPECT_FALSE(elf.dynamic);
  std::string preamble_bytes = test::read_file(preamble);
  EXPECT_LE(preamble_bytes.size(), 208u * 1024); // every AArch64 archive carries it
  EXPECT_EQ(preamble_bytes.find(std::string(make_magic(), kMagicSize)), std::string::npos);

  test::ToolDir tool;
  std::string payload = test::random_bytes(200000, 18);
  test::write_file(tool / "payload.bin", payload);
  std::vector<std::string> options = {"-O",         "Some Vendor",
                                      "-F",         "PACKAGE=demo",
                                      "-r",         "echo \"$PACKAGE|$QK_VENDOR|$NAME\" > env.txt",
                                      "payload.bin"};
  auto build = [&](const std::vector<std::string> &preamble_option, const std::string &name) {
    std::vector<std::string> argv = {"./vardo"};
    argv.insert(argv.end(), preamble_option.begin(), preamble_option.end());
    argv.insert(argv.end(), options.begin(), options.end());
    test::RunOptions o;
    o.stdout_path = tool / name;
    ASSERT_EQ(tool.run(argv, o).status, 0);
    chmod((tool / name).c_str(), 0755);
  };
  build({"-p", preamble}, "arm.run");
  build({}, "x86.run");
  std::string archive = test::read_file(tool / "arm.run");
  EXPECT_EQ(archive.compare(0, preamble_bytes.size(), preamble_bytes), 0);

  // The x86-64 tool lists it as it lists the same archive built for itself, but for the digest,
  // which covers the preamble.
  auto listed = tool.run({"./vardo", "-l", "arm.run"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  auto without_digest = [](const std::string &text) {
    return text.substr(0, text.find(" Digest:"));
  };
  EXPECT_EQ(without_digest(listed.out), without_digest(tool.run({"./vardo", "-l", "x86.run"}).out));
  EXPECT_NE(listed.out.find("Feature: QK_VENDOR=Some Vendor,PACKAGE=demo,VARDO_TRAILER,"
                            "VARDO_USIZE=200000,NAME=payload.bin\n"),
            std::string::npos)
      << listed.out;
  std::string length = std::to_string(archive.size() - 78);
  EXPECT_NE(listed.out.find(" Digest: sha256 " +
                            test::sha256sum_hex(archive.substr(0, archive.size() - 78)) +
                            " of the first " + length + " bytes, checked\n"),
            std::string::npos);
  // ... and takes its payload out.
  test::RunOptions to_file;
  to_file.stdout_path = tool / "taken.bin";
  EXPECT_EQ(tool.run({"./vardo", "-u", "-x", "arm.run"}, to_file).status, 0);
  EXPECT_EQ(test::read_file(tool / "taken.bin"), payload);

  mkdir((tool / "out").c_str(), 0755);
  test::RunOptions in_out;
  in_out.cwd = tool / "out";
  auto r = test::run({"qemu-aarch64-static", tool / "arm.run"}, in_out);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::read_file(tool / "out/payload.bin"), payload);
  EXPECT_EQ(test::read_file(tool / "out/env.txt"), "demo|Some Vendor|payload.bin\n");
}

TEST(ManualPage, RendersWithoutWarnings) {
  std::string page = std::string(VARDO_BUILD_DIR) + "/vardo.1";
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
  for (char letter : std::string("huclxnvtapCfrVSOFdTkqs")) {
    std::string dash = std::string("\\-") + letter;
    bool entry = text.find("\n.B " + dash + "\n") != std::string::npos ||
                 text.find("\n.BI " + dash + " ") != std::string::npos ||
                 text.find("\n.BR " + dash + " ") != std::string::npos;
    EXPECT_TRUE(entry) << "no entry for -" << letter;
  }
  // The title line carries the release number the usage prints.
  std::string title = text.substr(0, text.find('\n', text.find(".TH ")));
  EXPECT_NE(title.find(std::string("\"vardo ") + kReleaseNumber + "\""), std::string::npos)
      << title;
}

TEST(Example, InstallerScriptBuildsListsAndRuns) {
  test::TempDir work;
  test::RunOptions o;
  o.env = {"TZ=UTC"};
  auto r = test::run({std::string(VARDO_SOURCE_DIR) + "/examples/installer/build.sh",
                      test::vardo_binary(), work / "demo"},
                     o);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Feature: QK_VENDOR=Example Vendor,PACKAGE=hello,VERSION=1.0,VARDO_TRAILER,"
                       "VARDO_USIZE=" +
                       std::to_string(test::read_file(work / "demo/tour/hello-1.0.tar").size()) +
                       ",NAME=hello-1.0.tar\n"),
            std::string::npos)
      << r.out;
  // Paths relative to the demo directory: nothing of the machine it ran on.
  EXPECT_NE(r.out.find("installing hello 1.0 from Example Vendor (hello-1.0.tar) into ../prefix\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find(work.path()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hello from hello, installed by a vardo archive\n"), std::string::npos);
  EXPECT_NE(r.out.find("the payload is the package, byte for byte\n"), std::string::npos);
  EXPECT_EQ(test::read_file(work / "demo/tour/prefix/share/doc/hello/README"),
            test::read_file(std::string(VARDO_SOURCE_DIR) +
                            "/examples/installer/package/share/doc/hello/README"));
}

// The commands of a README section, as they stand there: each line "    $ ..." with the lines
// that continue it after a trailing backslash.
std::string readme_commands(const std::string &heading, int *commands) {
  std::string readme = test::read_file(std::string(VARDO_SOURCE_DIR) + "/README.md");
  size_t begin = readme.find("\n## " + heading + "\n");
  EXPECT_NE(begin, std::string::npos) << heading;
  size_t end = readme.find("\n## ", begin + 1);
  std::string script;
  bool continued = false;
  *commands = 0;
  for (size_t at = begin; at < end;) {
    size_t eol = readme.find('\n', at);
    std::string line = readme.substr(at, eol - at);
    at = eol + 1;
    if (continued || line.rfind("    $ ", 0) == 0) {
      script += line.substr(continued ? 4 : 6) + "\n";
      *commands += !continued;
      continued = !line.empty() && line.back() == '\\';
    }
  }
  return script;
}

// The README's sections as a newcomer meets them after only `make demo`: make demo's own steps
// (examples/installer/build.sh into build/demo), then the tour, then the AArch64 section where
// qemu can run it, each by a shell of its own from a directory laid out like the project root:
// every command succeeds, so the README cannot drift from the tool. `make preamble` itself is
// played by the test, which puts the built preamble where it leaves it. The example package is a
// copy with the modes a release tarball gives (0664 and 0775) and the shells run with umask 002:
// the archive's bytes are still the ones the README shows, whatever the checkout's modes or the
// umask.
TEST(Readme, TourRunsAsWritten) {
  int commands = 0, arm_commands = 0;
  std::string tour = "set -e\numask 002\n" + readme_commands("A tour", &commands);
  ASSERT_GE(commands, 12) << tour;
  std::string arm = "set -e\n" + readme_commands("Archives for other processors", &arm_commands);
  ASSERT_GE(arm_commands, 7) << arm;
  const std::string make_preamble = "make preamble ARCH=aarch64\n";
  size_t at = arm.find(make_preamble);
  ASSERT_NE(at, std::string::npos) << arm;
  arm.replace(at, make_preamble.size(), "test -x build/preamble-aarch64\n");
  test::TempDir root;
  std::string installer = root / "examples/installer", package = installer + "/package";
  for (const char *dir :
       {"/examples", "/examples/installer", "/examples/installer/package",
        "/examples/installer/package/bin", "/examples/installer/package/share",
        "/examples/installer/package/share/doc", "/examples/installer/package/share/doc/hello"})
    ASSERT_EQ(mkdir((root.path() + dir).c_str(), 0700), 0);
  for (const char *file :
       {"build.sh", "package/install.sh", "package/bin/hello", "package/share/doc/hello/README"}) {
    std::string from = std::string(VARDO_SOURCE_DIR) + "/examples/installer/" + file;
    test::write_file(installer + "/" + file, test::read_file(from));
    chmod((installer + "/" + file).c_str(), access(from.c_str(), X_OK) == 0 ? 0775 : 0664);
  }
  for (const char *dir : {"", "/bin", "/share", "/share/doc", "/share/doc/hello"})
    chmod((package + dir).c_str(), 0775);
  mkdir((root / "build").c_str(), 0755);
  test::write_file(root / "build/vardo", test::read_file(test::vardo_binary()), 0755);
  test::RunOptions o;
  o.cwd = root.path();
  o.env = {"TZ=UTC"};
  auto demo =
      test::run({"sh", "-c", "umask 002; examples/installer/build.sh build/vardo build/demo"}, o);
  ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
  auto r = test::run({"sh", "-c", tour}, o);
  EXPECT_EQ(r.status, 0) << tour << r.out << r.err;
  EXPECT_NE(r.out.find("      633     10240  94.2% hello-1.0.tar\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("defla e16a0661 Jan  1 00:00       633     10240  94.2% hello-1.0.tar\n"),
            std::string::npos)
      << r.out;
  std::string hello =
      test::read_file(std::string(VARDO_SOURCE_DIR) + "/examples/installer/package/bin/hello");
  EXPECT_EQ(test::read_file(root / "tour/prefix/bin/hello"), hello);
  EXPECT_EQ(test::read_file(root / "tour/other prefix/bin/hello"), hello);
  EXPECT_NE(r.out.find("into " + root / "tour/other prefix\n"), std::string::npos) << r.out;
  std::string preamble = std::string(VARDO_BUILD_DIR) + "/preamble-aarch64";
  bool have_preamble = access(preamble.c_str(), F_OK) == 0;
#ifdef VARDO_SANITIZED
  if (!have_preamble)
    return; // the release tree runs the AArch64 section
#endif
  if (!have_preamble || !installed("qemu-aarch64-static"))
    GTEST_SKIP() << "the tour ran, not its AArch64 section: "
                 << (have_preamble ? "qemu-aarch64-static is not installed" : kNoAArch64Preamble);
  test::write_file(root / "build/preamble-aarch64", test::read_file(preamble), 0755);
  r = test::run({"sh", "-c", arm}, o);
  EXPECT_EQ(r.status, 0) << arm << r.out << r.err;
  EXPECT_NE(r.out.find("Comment: hello 1.0 for AArch64\n"), std::string::npos) << r.out;
  EXPECT_EQ(test::read_file(root / "build/demo/tour/prefix-arm/bin/hello"), hello);
}

} // namespace
} // namespace vardo

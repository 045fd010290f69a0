#include "extract/space.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "extract/extract.h"
#include "lib/process.h"
#include "support/fork.h"

namespace vardo {
namespace {

// Runs verify_extract_space in a child with the given feature string and working directory, in
// a locale that names UTF-8 unless told otherwise; standard output gets the result.
test::RunResult verify(const std::string &features, const std::string &cwd, int required_mb = 1,
                       const std::string &temp = "", const char *locale = "C.UTF-8") {
  return test::run_forked([&] {
    setenv("LC_ALL", locale, 1);
    process.program_name = "vardo";
    ArchiveHeader h;
    strcpy(h.features, features.c_str());
    ExtractOptions options;
    strcpy(options.temp_path, temp.c_str());
    if (chdir(cwd.c_str()) < 0)
      exit(3);
    char relocated[kLinkPathSize], work_dir[kLinkPathSize];
    printf("%d", verify_extract_space(h, options, required_mb, relocated, work_dir));
  });
}

TEST(VerifyExtractSpace, RoomInPlace) {
  test::TempDir dir;
  auto r = verify("VFYFS=" + dir.path() + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "0");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access((dir / "inst").c_str(), F_OK), 0); // nothing created
  // Where a default ACL would give another user what the extract command makes, the tool makes
  // the directory itself first.
  if (test::run({"setfacl", "-d", "-m", "u:65534:rwx", dir.path()}).status != 0)
    GTEST_SKIP() << "setfacl cannot give a default ACL here";
  r = verify("VFYFS=" + dir.path() + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "0") << r.err;
  // ... with no ACL of its own, so that what is made in it inherits none.
  r = test::run({"getfacl", "-cn", dir / "inst"});
  EXPECT_EQ(r.out, "user::rwx\ngroup::r-x\nother::r-x\n\n") << r.err;
  // ... nor the group of a setgid directory it was made in.
  if (geteuid() != 0)
    return;
  ASSERT_EQ(rmdir((dir / "inst").c_str()), 0);
  ASSERT_EQ(chown(dir.path().c_str(), static_cast<uid_t>(-1), 65534), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 02755), 0);
  r = verify("VFYFS=" + dir.path() + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "0") << r.err;
  struct stat st;
  ASSERT_EQ(stat((dir / "inst").c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, getegid());
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST(VerifyExtractSpace, MissingOrShortValuesRefuseSilently) {
  for (const char *features :
       {"", "VFYFS=/tmp", "VFYFS=/,FSSUB=inst", "VFYFS=/tmp,FSSUB=x", "VFYFS=,FSSUB=inst"}) {
    auto r = verify(features, "/");
    EXPECT_EQ(r.out, "-1") << features;
    EXPECT_EQ(r.err, "") << features;
  }
}

TEST(VerifyExtractSpace, ExistingExtractionDirectory) {
  test::TempDir dir;
  mkdir((dir / "u").c_str(), 0755);
  mkdir((dir / "u/inst").c_str(), 0755);
  auto r = verify("VFYFS=" + dir / "u" + "/,FSSUB=inst", "/");
  EXPECT_EQ(r.out, "-1");
  EXPECT_EQ(r.err, dir / "u/inst: extraction directory exists!\nPlease remove it first then try "
                         "again.\n");
  // A relative VFYFS value is taken from the working directory.
  r = verify("VFYFS=u/.,FSSUB=inst", dir.path());
  EXPECT_EQ(r.err, dir / "u/./inst: extraction directory exists!\nPlease remove it first then try "
                         "again.\n");
}

TEST(VerifyExtractSpace, DirectoryThatCannotBeQueriedCountsAsRoom) {
  auto r = verify("VFYFS=/no/such/dir,FSSUB=inst", "/", 1000000);
  EXPECT_EQ(r.out, "0");
  EXPECT_EQ(r.err, "");
}

TEST(VerifyExtractSpace, OverlongValuesAreRefusedWithAMessage) {
  std::string v = "/" + std::string(130, 'v');
  auto r = verify("VFYFS=" + v + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "-1");
  EXPECT_EQ(r.err, "vardo: VFYFS value longer than 127 characters: " + v + "\n");
  // A relative value in a current directory whose path does not fit the 511-byte buffer.
  test::TempDir dir;
  std::string deep = dir.path();
  while (deep.size() <= 511) {
    deep += "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  r = verify("VFYFS=uu,FSSUB=inst", deep);
  EXPECT_EQ(r.out, "-1");
  EXPECT_EQ(r.err, "vardo: the path of the current directory is longer than 510 characters, too "
                   "long for the space check\n");
}

// VFYFS and FSSUB values go into messages and the link question as they are, so what a terminal
// could take for a control refuses them: in any locale a C0 or C1 control (as a bare byte or in
// UTF-8), a direction mark or a byte that is not UTF-8.
TEST(VerifyExtractSpace, ValuesWithControlCharactersAreRefused) {
  test::TempDir dir;
  for (const char *locale : {"C.UTF-8", "C"}) {
    for (const char *sub :
         {"in\x1b[2Kst", "in\rst", "in\x9bst", "in\xc2\x9bst", "in\xe2\x80\xaest", "in\xc3st"}) {
      auto r = verify("VFYFS=" + dir.path() + ",FSSUB=" + sub, "/", 1, "", locale);
      EXPECT_EQ(r.out, "-1") << sub << locale;
      EXPECT_TRUE(r.err.starts_with("vardo: a VFYFS or FSSUB value holds control characters: in\\"))
          << r.err;
    }
  }
  // UTF-8 letters are taken where the terminal reads UTF-8; elsewhere a byte above 0x7F may be a
  // C1 control to it ("\xdb\x9b" is a letter in UTF-8, but CSI and one byte more in Latin-1).
  for (const char *sub : {"caf\xc3\xa9",
                          "in\xdb\x9b"
                          "2J",
                          "a\\b"}) {
    auto r = verify("VFYFS=" + dir.path() + ",FSSUB=" + sub, "/");
    EXPECT_EQ(r.out, "0") << sub;
    EXPECT_EQ(r.err, "") << sub;
    rmdir((dir.path() + "/" + sub).c_str());
    r = verify("VFYFS=" + dir.path() + ",FSSUB=" + sub, "/", 1, "", "C");
    EXPECT_EQ(r.out, *sub == 'a' ? "0" : "-1") << sub;
  }
}

} // namespace
} // namespace vardo

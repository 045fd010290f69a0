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

// Runs verify_extract_space in a child with the given feature string and working directory;
// standard output gets the result.
test::RunResult verify(const std::string &features, const std::string &cwd, int required_mb = 1,
                       const std::string &temp = "") {
  return test::run_forked([&] {
    process.program_name = "vardo";
    ArchiveHeader h;
    strcpy(h.features, features.c_str());
    ExtractOptions options;
    strcpy(options.temp_path, temp.c_str());
    if (chdir(cwd.c_str()) < 0)
      exit(3);
    printf("%d", verify_extract_space(h, options, required_mb));
  });
}

TEST(VerifyExtractSpace, RoomInPlace) {
  test::TempDir dir;
  auto r = verify("VFYFS=" + dir.path() + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "0");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access((dir / "inst").c_str(), F_OK), 0); // nothing created
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

// VFYFS and FSSUB values go into messages and the link question as they are, so a control
// character (in any locale: a C1 control as a bare byte or in UTF-8, a direction mark) refuses
// them; UTF-8 letters are taken.
TEST(VerifyExtractSpace, ValuesWithControlCharactersAreRefused) {
  test::TempDir dir;
  for (const char *sub :
       {"in\x1b[2Kst", "in\rst", "in\x9bst", "in\xc2\x9bst", "in\xe2\x80\xaest"}) {
    auto r = verify("VFYFS=" + dir.path() + ",FSSUB=" + sub, "/");
    EXPECT_EQ(r.out, "-1") << sub;
    EXPECT_TRUE(r.err.starts_with("vardo: a VFYFS or FSSUB value holds control characters: in\\"))
        << r.err;
  }
  auto r = verify("VFYFS=" + dir.path() + ",FSSUB=caf\xc3\xa9", "/");
  EXPECT_EQ(r.out, "0");
  EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace vardo

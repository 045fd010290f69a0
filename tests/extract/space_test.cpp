#include "extract/space.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header.h"
#include "driver/settings.h"
#include "support/fork.h"

namespace vardo {
namespace {

TEST(MakeDirPath, CreatesEveryLevelWithTheExactMode) {
  test::TempDir dir;
  std::string path = dir / "a/b/c";
  mode_t old = umask(077);
  EXPECT_EQ(make_dir_path(path.c_str(), 0755), 0);
  umask(old);
  for (const char *sub : {"a", "a/b", "a/b/c"}) {
    struct stat st;
    ASSERT_EQ(stat((dir / sub).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << sub;
  }
  EXPECT_EQ(make_dir_path(path.c_str(), 0755), 0); // already there
  EXPECT_EQ(make_dir_path("relative/dir", 0755), -1);
  std::string deep = dir / std::string(300, 'd');
  EXPECT_EQ(make_dir_path(deep.c_str(), 0755), -1);
  test::write_file(dir / "file", "x");
  EXPECT_EQ(make_dir_path((dir / "file/sub").c_str(), 0755), -1);
}

// Runs verify_extract_space in a child with the given feature string and working directory;
// standard output gets "result [link]".
test::RunResult verify(const std::string &features, const std::string &cwd, int required_mb = 1,
                       const std::string &temp = "") {
  return test::run_forked([&] {
    test::reset_state();
    settings.program_name = "vardo";
    strcpy(archive_header.features, features.c_str());
    strcpy(settings.temp_path, temp.c_str());
    if (chdir(cwd.c_str()) < 0)
      exit(3);
    char link[kLinkPathSize] = "junk";
    int result = verify_extract_space(required_mb, link);
    printf("%d [%s]", result, result == 0 ? link : "");
  });
}

TEST(VerifyExtractSpace, RoomInPlace) {
  test::TempDir dir;
  auto r = verify("VFYFS=" + dir.path() + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "0 []");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access((dir / "inst").c_str(), F_OK), 0); // nothing created
}

TEST(VerifyExtractSpace, MissingOrShortValuesRefuseSilently) {
  for (const char *features :
       {"", "VFYFS=/tmp", "VFYFS=/,FSSUB=inst", "VFYFS=/tmp,FSSUB=x", "VFYFS=,FSSUB=inst"}) {
    auto r = verify(features, "/");
    EXPECT_EQ(r.out, "-1 []") << features;
    EXPECT_EQ(r.err, "") << features;
  }
}

TEST(VerifyExtractSpace, ExistingExtractionDirectory) {
  test::TempDir dir;
  mkdir((dir / "u").c_str(), 0755);
  mkdir((dir / "u/inst").c_str(), 0755);
  auto r = verify("VFYFS=" + dir / "u" + "/,FSSUB=inst", "/");
  EXPECT_EQ(r.out, "-1 []");
  EXPECT_EQ(r.err, dir / "u/inst: extraction directory exists!\nPlease remove it first then try "
                         "again.\n");
  // A relative VFYFS value is taken from the working directory.
  r = verify("VFYFS=u/.,FSSUB=inst", dir.path());
  EXPECT_EQ(r.err, dir / "u/./inst: extraction directory exists!\nPlease remove it first then try "
                         "again.\n");
}

TEST(VerifyExtractSpace, DirectoryThatCannotBeQueriedCountsAsRoom) {
  auto r = verify("VFYFS=/no/such/dir,FSSUB=inst", "/", 1000000);
  EXPECT_EQ(r.out, "0 []");
  EXPECT_EQ(r.err, "");
}

TEST(VerifyExtractSpace, OverlongValuesAreRefusedWithAMessage) {
  std::string v = "/" + std::string(130, 'v');
  auto r = verify("VFYFS=" + v + ",FSSUB=inst", "/");
  EXPECT_EQ(r.out, "-1 []");
  EXPECT_EQ(r.err, "vardo: VFYFS value longer than 127 characters: " + v + "\n");
}

} // namespace
} // namespace vardo

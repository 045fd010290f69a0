#include "lib/sha256.h"

#include <gtest/gtest.h>

#include "support/crypto.h"
#include "support/digest.h"
#include "support/process.h"

namespace vardo {
namespace {

std::string sha256_hex(const std::vector<std::string> &pieces) {
  Sha256State s;
  unsigned char out[kSha256Size];
  sha256_init(s);
  for (const std::string &piece : pieces)
    sha256_update(s, piece.data(), piece.size());
  sha256_final(s, out);
  return test::hex(out, sizeof out);
}

const test::Digest kSha256 = {"sha256", sha256_hex};

// Whether the kernel reports the SHA-256 instructions and what they need, read independently of
// the CPUID and auxiliary vector code under test.
bool processor_has_sha256() {
  std::string info = test::read_file("/proc/cpuinfo");
#if defined(__x86_64__)
  return info.find(" sha_ni") != std::string::npos && info.find(" sse4_1") != std::string::npos &&
         info.find(" ssse3") != std::string::npos;
#elif defined(__aarch64__)
  return info.find(" sha2") != std::string::npos;
#else
  return false;
#endif
}

// Every case runs on the processor's instructions, where it has them, and on the portable code,
// and leaves the instructions in use.
class Sha256 : public ::testing::Test {
protected:
  void TearDown() override { sha256_use_instructions(true); }

  template <class Check> void on_every_path(Check check) {
    for (bool instructions : {true, false}) {
      if (sha256_use_instructions(instructions) != instructions)
        continue;
      SCOPED_TRACE(instructions ? "processor's instructions" : "portable code");
      check();
    }
    if (!sha256_use_instructions(true))
      GTEST_SKIP() << "this processor has no SHA-256 instructions: their code is untested";
  }
};

TEST_F(Sha256, InstructionsFollowTheProcessor) {
  EXPECT_EQ(sha256_use_instructions(true), processor_has_sha256());
  EXPECT_FALSE(sha256_use_instructions(false));
  EXPECT_EQ(sha256_use_instructions(true), processor_has_sha256());
}

TEST_F(Sha256, FipsExamples) {
  on_every_path([] {
    test::expect_vectors(
        kSha256,
        test::fips_vectors("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                           "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
                           "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
                           "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
  });
}

TEST_F(Sha256, EverySplitAgrees) {
  on_every_path([] { test::expect_every_split_agrees(kSha256, 64); });
}

TEST_F(Sha256, AgreesWithOpenssl) {
  on_every_path([] { test::expect_openssl_agrees(kSha256); });
}

} // namespace
} // namespace vardo

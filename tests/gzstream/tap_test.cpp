#include "gzstream/tap.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/digest.h"
#include "support/process.h"

namespace vardo {
namespace {

// The tap of a pipe hashes all but the last bytes, which it holds back, whichever pieces they come
// in; at the end the digest is that of the bytes before the trailer's. A raw payload's bytes are
// written out as they leave the hold, never the trailer's.
TEST(Tap, DigestOfAllButTheTrailer) {
  std::string before = test::random_bytes(20000, 2);
  std::string file = before + test::random_bytes(368, 3); // a trailer's bytes, as the tap sees them
  for (size_t piece :
       {size_t{1}, size_t{7}, size_t{1279}, size_t{1280}, size_t{4096}, file.size()}) {
    test::TempDir dir;
    StreamState out;
    out.out_fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    static DigestTap tap;
    Sha256State none;
    sha256_init(none);
    tap_start(tap, none);
    for (size_t at = 0; at < 1000; at += piece) // the header's bytes, hashed but not payload
      tap_feed(tap, file.data() + at, std::min(piece, 1000 - at));
    tap_pass_held(tap);
    tap.release = &out;
    for (size_t at = 1000; at < file.size(); at += piece)
      tap_feed(tap, file.data() + at, std::min(piece, file.size() - at));
    EXPECT_EQ(tap_bytes(tap), file.size());
    ASSERT_EQ(tap.held_size, std::min(kTapHold, file.size() - 1000)) << piece;
    EXPECT_TRUE(std::string(reinterpret_cast<char *>(tap.held), tap.held_size) ==
                file.substr(file.size() - tap.held_size));
    unsigned char digest[kSha256Size];
    tap_finish(tap, 368, digest);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(digest), kSha256Size),
              test::sha256_bytes(before))
        << piece;
    close(out.out_fd);
    EXPECT_TRUE(test::read_file(dir / "out") == before.substr(1000)) << piece;
    EXPECT_EQ(out.bytes_out, before.size() - 1000);
  }
}

} // namespace
} // namespace vardo

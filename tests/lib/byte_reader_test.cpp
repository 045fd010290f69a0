#include "lib/byte_reader.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace vardo {
namespace {

// Every byte value comes back as it was written, across several refills of the buffer, then the
// end, again and again; a missing file does not open and a directory reads as an end.
TEST(ByteReader, ReadsEveryByteThenTheEnd) {
  test::TempDir dir;
  std::string bytes;
  for (int i = 0; i < 1300; ++i)
    bytes += static_cast<char>(i * 7);
  test::write_file(dir / "f", bytes);
  ByteReader r;
  ASSERT_TRUE(open_bytes(r, (dir / "f").c_str()));
  std::string got;
  for (int c; (c = next_byte(r)) >= 0;)
    got += static_cast<char>(c);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(next_byte(r), -1);
  close_bytes(r);
  close_bytes(r);
  EXPECT_FALSE(open_bytes(r, (dir / "missing").c_str()));
  ASSERT_TRUE(open_bytes(r, dir.path().c_str()));
  EXPECT_EQ(next_byte(r), -1);
  close_bytes(r);
}

} // namespace
} // namespace vardo

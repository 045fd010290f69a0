#include "support/digest.h"

#include <gtest/gtest.h>

#include "support/crypto.h"
#include "support/process.h"

namespace vardo::test {

std::vector<Vector> fips_vectors(const char *empty, const char *abc, const char *bits448,
                                 const char *bits896, const char *million) {
  return {
      {"", empty},
      {"abc", abc},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", bits448},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       bits896},
      {std::string(1000000, 'a'), million}};
}

void expect_vectors(const Digest &d, const std::vector<Vector> &vectors) {
  for (const Vector &v : vectors) {
    EXPECT_EQ(d.hash({v.message}), v.digest) << d.name << " of " << v.message.size() << " bytes";
    if (v.message.size() > 1000)
      continue;
    std::vector<std::string> bytes;
    for (char c : v.message)
      bytes.emplace_back(1, c);
    EXPECT_EQ(d.hash(bytes), v.digest) << d.name << " a byte at a time";
  }
}

void expect_every_split_agrees(const Digest &d, size_t block_size) {
  std::string message = random_bytes(3 * block_size + 17, 180);
  std::string whole = d.hash({message});
  for (size_t i = 0; i <= message.size(); ++i)
    for (size_t j = i; j <= message.size(); ++j)
      ASSERT_EQ(d.hash({message.substr(0, i), message.substr(i, j - i), message.substr(j)}), whole)
          << d.name << " cut at " << i << " and " << j;
}

void expect_openssl_agrees(const Digest &d) {
  if (!have_program("openssl"))
    GTEST_SKIP() << "openssl is not installed";
  TempDir dir;
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 300; ++len)
    lengths.push_back(len);
  lengths.insert(lengths.end(), {4095, 65536, 1000003});
  std::vector<std::string> paths, ours;
  for (size_t len : lengths) {
    std::string data = random_bytes(len, static_cast<unsigned>(len));
    paths.push_back(dir / std::to_string(len));
    write_file(paths.back(), data);
    ours.push_back(d.hash({data}));
  }
  std::vector<std::string> theirs = openssl_digests(d.name, paths);
  ASSERT_EQ(theirs.size(), lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i)
    EXPECT_EQ(ours[i], theirs[i]) << d.name << " of " << lengths[i] << " random bytes";
}

} // namespace vardo::test

namespace vardo::test {

std::string sha256sum_hex(const std::string &bytes) {
  RunOptions o;
  o.input = bytes;
  RunResult r = run({"sha256sum"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out.substr(0, 64);
}

std::string sha256_bytes(const std::string &bytes) { return unhex(sha256sum_hex(bytes)); }

} // namespace vardo::test

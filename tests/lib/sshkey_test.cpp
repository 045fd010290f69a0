#include "lib/sshkey.h"

#include <gtest/gtest.h>

#include "support/crypto.h"
#include "support/process.h"

namespace vardo {
namespace {

using test::unhex;

// RFC 8032's TEST 1 and TEST 2 keys.
const std::string kKey = unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const std::string kOther =
    unhex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
const std::string kLine = test::ed25519_line(kKey), kOtherLine = test::ed25519_line(kOther);

// The key read from a line, or "refused: " and the reason.
std::string parse(const std::string &line) {
  unsigned char key[kEd25519KeySize];
  const char *reason = nullptr;
  if (ssh_key_parse(line.data(), line.size(), key, &reason) < 0)
    return std::string("refused: ") + reason;
  return std::string(reinterpret_cast<char *>(key), sizeof key);
}

TEST(SshKey, PublicKeyLines) {
  std::string rsa = test::ssh_string("ssh-rsa") + test::ssh_string("\x01") + test::ssh_string("x");
  std::string type = test::ssh_string("ssh-ed25519");
  struct {
    std::string line, result;
  } cases[] = {
      {kLine, kKey},
      {kLine + " me@host", kKey},
      {"  " + kLine + "\tcomment with blanks\n", kKey},
      {kLine + "\r\n", kKey},
      {"ssh-rsa " + test::base64(rsa) + " me", "refused: only Ed25519 keys are taken"},
      {"ssh-ed25519 " + test::base64(rsa), "refused: only Ed25519 keys are taken"},
      {"ecdsa-sha2-nistp256 AAAA", "refused: only Ed25519 keys are taken"},
      {"", "refused: only Ed25519 keys are taken"},
      {"ssh-ed25519", "refused: malformed public key"},
      {"ssh-ed25519 AAAA!", "refused: malformed Ed25519 public key"},
      {"ssh-ed25519 " + test::base64(type + test::ssh_string(kKey.substr(1))),
       "refused: malformed Ed25519 public key"},
      {"ssh-ed25519 " + test::base64(type + test::ssh_string(kKey + "x")),
       "refused: malformed Ed25519 public key"},
      {test::ed25519_line(std::string(32, '\0')),
       "refused: the Ed25519 public key is no valid point"},
      {test::ed25519_line(
           unhex("0200000000000000000000000000000000000000000000000000000000000000")),
       "refused: the Ed25519 public key is no valid point"},
      {"ssh-ed25519 " + test::base64(type + test::ssh_string(kKey) + "x"),
       "refused: malformed Ed25519 public key"},
      {"ssh-ed25519 " + test::base64(type + test::ssh_string(kKey)).substr(4),
       "refused: malformed public key"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(parse(c.line), c.result) << c.line;
}

// Every length of a blob short of the whole, and every length field claiming more.
TEST(SshKey, TruncatedAndOverlongBlobsAreRefused) {
  std::string blob = test::ed25519_blob(kKey);
  unsigned char key[kEd25519KeySize];
  const char *reason;
  for (size_t len = 0; len < blob.size(); ++len)
    EXPECT_EQ(ssh_key_from_blob(test::u8(blob), len, key, &reason), -1) << len;
  for (size_t at : {0, 15})
    for (char top : {'\x00', '\x80'}) {
      std::string longer = blob;
      longer[at] = top;
      longer[at + 3] = static_cast<char>(longer[at + 3] + 1);
      EXPECT_EQ(ssh_key_from_blob(test::u8(longer), longer.size(), key, &reason), -1) << at;
    }
  ASSERT_EQ(ssh_key_from_blob(test::u8(blob), blob.size(), key, &reason), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(key), sizeof key), kKey);
}

// The fingerprints of the RFC 8032 keys as ssh-keygen -l shows them.
TEST(SshKey, FingerprintIsThatOfSshKeygen) {
  if (!test::have_program("ssh-keygen"))
    GTEST_SKIP() << "ssh-keygen is not installed";
  test::TempDir dir;
  for (const std::string &key : {kKey, kOther}) {
    test::write_file(dir / "key.pub", test::ed25519_line(key) + " comment\n");
    test::RunResult r = test::run({"ssh-keygen", "-l", "-f", dir / "key.pub"});
    ASSERT_EQ(r.status, 0) << r.err;
    char ours[kSshFingerprintSize];
    ssh_key_fingerprint(test::u8(key), ours);
    EXPECT_EQ(r.out, "256 " + std::string(ours) + " comment (ED25519)\n");
  }
}

// The principals found for kKey in namespace "vardo", or "refused: " and the reason.
std::string find(const std::string &text, size_t size = 64) {
  char principals[64];
  memset(principals, 'x', sizeof principals);
  const char *reason = nullptr;
  if (ssh_find_signer(text.data(), text.size(), test::u8(kKey), "vardo", principals, size,
                      &reason) < 0)
    return std::string("refused: ") + reason;
  return principals;
}

TEST(SshKey, AllowedSigners) {
  const std::string k = " " + kLine, rsa = " ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAgQC7 bob@rsa\n";
  const std::string not_among = "refused: the signing key is not among the trusted keys";
  const std::string other_option = "refused: the trusted key has an option other than namespaces=";
  struct {
    std::string text, result;
  } cases[] = {
      {"alice@example.org" + k, "alice@example.org"},
      {kLine + " me@host\n", ""},
      {"# trusted\n\n \t\nalice,bob" + k + " comment\n", "alice,bob"},
      {"bob " + kOtherLine + "\nalice" + k, "alice"},
      {"carol" + rsa + "alice" + k, "alice"},
      {"bob " + kOtherLine + "\n", not_among},
      {"", not_among},
      {"# alice" + k, not_among},
      {"alice namespaces=\"git,vardo\"" + k, "alice"},
      {"alice NameSpaces=\"vardo\"" + k, "alice"},
      // ssh-keygen reads the list as patterns: only a quoted list of plain names is taken.
      {"alice namespaces=vardo" + k, "refused: the trusted key is not allowed this namespace"},
      {"alice namespaces=\"!vardo,vardo\"" + k,
       "refused: the trusted key is not allowed this namespace"},
      {"alice namespaces=\"git\"x\",vardo\"" + k,
       "refused: the trusted key is not allowed this namespace"},
      {"alice namespaces=\"git\"" + k, "refused: the trusted key is not allowed this namespace"},
      {"alice namespaces=\"vardo-x,*\"" + k,
       "refused: the trusted key is not allowed this namespace"},
      {"alice cert-authority" + k, "refused: cert-authority keys are not supported"},
      {"alice namespaces=\"vardo\",cert-authority" + k,
       "refused: cert-authority keys are not supported"},
      {"alice valid-after=\"20200101\"" + k, other_option},
      {"alice namespaces=\"a,vardo\",valid-before=\"29991231\"" + k, other_option},
      {"alice cert-authority" + k + "\ncarol" + k, "carol"},
      {"\"alice smith\"" + k, "alice smith"},
      {"alice" + k + "\r\n", "alice"},
      {"alice ssh-ed25519 AAAA!!!!\nbob" + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      {"alice ssh-ed25519\n", "refused: malformed Ed25519 key line among the trusted keys"},
      {"alice " + test::ed25519_line(std::string(32, '\0')) + "\nbob" + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      {"alice ssh-ed25519 " + test::base64(test::ed25519_blob(kKey) + "x") + "\n",
       "refused: malformed Ed25519 key line among the trusted keys"},
      // ssh-keygen ends a quoted field at its closing quote (here: principal alice, options
      // namespaces="git"), and a line at a NUL.
      {"\"alice\"namespaces=\"git\"" + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      {"alice\" namespaces=\"g\\\"it\"" + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      {std::string("alice\0x", 7) + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      // ssh-keygen reads principals as patterns: a line whose "!" denies is no trust.
      {"!alice" + k, "refused: the trusted key's principals match no signer"},
      {"alice,!bob" + k, "refused: the trusted key's principals match no signer"},
      {"\"\"" + k, "refused: the trusted key's principals match no signer"},
      {"alice ssh-ed25519\r" + kLine.substr(12) + "\n",
       "refused: malformed Ed25519 key line among the trusted keys"},
      {"\ralice" + k, "refused: malformed Ed25519 key line among the trusted keys"},
      // ssh-keygen's escaped quotes, empty options and second namespaces= clauses.
      {"alice namespaces=\"vardo,x\\\" ssh-ed25519 K \"" + k,
       "refused: malformed Ed25519 key line among the trusted keys"},
      {"alice namespaces=\"vardo\"," + k, "refused: the trusted key's options are malformed"},
      {"alice namespaces=\"vardo\",namespaces=\"vardo\"" + k, other_option},
      {"al\\ice" + k, "refused: malformed Ed25519 key line among the trusted keys"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(find(c.text), c.result) << c.text;
  EXPECT_EQ(find("abcdefg" + k, 8), "abcdefg");
  EXPECT_EQ(find("abcdefgh" + k, 8), "refused: the trusted key's principals are too long");
}

} // namespace
} // namespace vardo

#include "support/crypto.h"

#include <gtest/gtest.h>
#include <random>
#include <sstream>

#include "support/process.h"

namespace vardo::test {

std::string unhex(const std::string &hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::vector<std::string> write_messages(const std::string &dir, int keys, int per_key,
                                        unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::string> messages;
  for (int i = 0; i < keys * per_key; ++i) {
    messages.push_back(random_bytes(gen() % 300, gen()));
    write_file(dir + "/m" + std::to_string(i / per_key) + "_" + std::to_string(i), messages.back());
  }
  return messages;
}

std::string hex(const void *data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<const unsigned char *>(data)[i];
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string base64(const std::string &bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = 0;
    for (size_t j = 0; j < 3; ++j)
      group = group << 8 | (i + j < bytes.size() ? static_cast<unsigned char>(bytes[i + j]) : 0);
    for (size_t j = 0; j < 4; ++j)
      out += j <= bytes.size() - i ? alphabet[group >> (18 - 6 * j) & 63] : '=';
  }
  return out;
}

std::string unbase64(const std::string &text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    size_t at = alphabet.find(c);
    if (at == std::string::npos)
      continue;
    bits = bits << 6 | static_cast<uint32_t>(at);
    if ((held += 6) >= 8)
      bytes += static_cast<char>(bits >> (held -= 8));
  }
  return bytes;
}

std::string ssh_u32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string ssh_string(const std::string &bytes) {
  return ssh_u32(static_cast<uint32_t>(bytes.size())) + bytes;
}

std::string ed25519_blob(const std::string &key) {
  return ssh_string("ssh-ed25519") + ssh_string(key);
}

std::string ed25519_line(const std::string &key) {
  return "ssh-ed25519 " + base64(ed25519_blob(key));
}

std::string armor(const std::string &blob) {
  std::string text = base64(blob), out = "-----BEGIN SSH SIGNATURE-----\n";
  for (size_t i = 0; i < text.size(); i += 70)
    out += text.substr(i, 70) + "\n";
  return out + "-----END SSH SIGNATURE-----\n";
}

std::string dearmor(const std::string &text) {
  size_t begin = text.find('\n'), end = text.find("-----END");
  return unbase64(text.substr(begin, end - begin));
}

bool have_program(const std::string &name) {
  return run({"sh", "-c", "command -v " + name}).status == 0;
}

std::vector<std::string> openssl_digests(const std::string &algorithm,
                                         const std::vector<std::string> &paths) {
  std::vector<std::string> argv = {"openssl", "dgst", "-" + algorithm, "-r"};
  argv.insert(argv.end(), paths.begin(), paths.end());
  RunResult r = run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> digests;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    digests.push_back(line.substr(0, line.find(' ')));
  return digests;
}

} // namespace vardo::test

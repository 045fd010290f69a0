// End-to-end checks of the trailer that ends every archive: a damaged archive is refused by its
// length or its digest before anything is written, whether it runs itself or a trusted tool
// verifies its signature; signatures are made and checked by ssh-keygen as well as by the tool;
// gzip, tar and an earlier vardo read the payload as before; and an archive read through a pipe
// has its digest checked as its payload streams.
#include <dirent.h>
#include <elf.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "support/crypto.h"
#include "support/digest.h"
#include "support/gzip.h"
#include "support/tool.h"

namespace vardo {
namespace {

const std::string kNotWhole =
    "the archive is not whole: it was cut short, or bytes were added after its end";
const std::string kChanged =
    "the archive's digest does not match its bytes: it was changed after it was built";

// Where the parts of a built archive begin: the magic after the preamble, the comment, the
// payload after the header block, the trailer (its length stands 18 bytes before the end).
struct Layout {
  size_t magic, comment, payload, trailer, end;
};

Layout layout_of(const std::string &a, size_t preamble) {
  Layout l{preamble, a.find('\0', preamble + 11) + 1, 0, 0, a.size()};
  l.payload = l.comment;
  for (int i = 0; i < 3; ++i)
    l.payload = a.find('\0', l.payload) + 1;
  uint32_t t = 0;
  for (int i = 3; i >= 0; --i)
    t = t << 8 | static_cast<unsigned char>(a[a.size() - 18 + i]);
  l.trailer = a.size() - t;
  return l;
}

std::string flipped(std::string b, size_t at) {
  b[at] = static_cast<char>(b[at] ^ 1);
  return b;
}

// A byte of a section's name in the ELF file `b`, which nothing reads when the program runs.
size_t section_name_byte(const std::string &b) {
  Elf64_Ehdr eh;
  Elf64_Shdr sh;
  memcpy(&eh, b.data(), sizeof eh);
  memcpy(&sh, b.data() + eh.e_shoff + eh.e_shstrndx * eh.e_shentsize, sizeof sh);
  return sh.sh_offset + 1;
}

// The armored signature in the trailer of the archive `a`, and the archive with another one of
// the same length in its place.
std::string signature_of(const std::string &a, const Layout &l) {
  return a.substr(l.trailer + 60, l.end - 18 - (l.trailer + 60));
}
std::string with_signature(const std::string &a, const Layout &l, const std::string &signature) {
  EXPECT_EQ(signature.size(), signature_of(a, l).size());
  return a.substr(0, l.trailer + 60) + signature + a.substr(l.end - 18);
}

using Files = std::map<std::string, std::string>;

class Integrity : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *dir : {"out", "alt", "long"})
      mkdir((tool / dir).c_str(), 0755);
    data = test::random_bytes(30000, 1);
    test::write_file(tool / "data", data);
    signing = test::have_program("ssh-keygen");
    if (signing)
      fingerprint = keygen("key", "ed25519");
  }
  // Makes the key pair NAME and NAME.pub without a passphrase; returns its fingerprint as
  // ssh-keygen -l shows it.
  std::string keygen(const std::string &name, const std::string &type) {
    auto r = tool.run({"ssh-keygen", "-q", "-t", type, "-N", "", "-C", name, "-f", name});
    EXPECT_EQ(r.status, 0) << r.err;
    r = tool.run({"ssh-keygen", "-l", "-f", name + ".pub"});
    size_t from = r.out.find(' ') + 1;
    return r.out.substr(from, r.out.find(' ', from) - from);
  }
  // Builds `name` in the tool directory with the arguments; returns its bytes.
  std::string build(std::vector<std::string> args, const std::string &name) {
    args.insert(args.begin(), "./vardo");
    test::RunOptions o;
    o.stdout_path = tool / name;
    auto r = tool.run(args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    chmod((tool / name).c_str(), 0755);
    return test::read_file(tool / name);
  }
  // Builds an archive of `file` that runs "touch ran" after the default extraction.
  std::string build_of(const std::string &file, const std::string &name, bool sign = false,
                       bool raw = false) {
    std::vector<std::string> args = {"-C", "integrity", "-r", "touch ran"};
    if (sign)
      args.insert(args.end(), {"-K", "key"});
    if (raw)
      args.push_back("-a");
    args.push_back(file);
    return build(args, name);
  }
  Layout layout(const std::string &a) { return layout_of(a, tool.tool_bytes().size()); }
  // Runs `argv` in the directory "out".
  test::RunResult run_out(const std::vector<std::string> &argv, test::RunOptions o = {}) {
    o.cwd = tool / "out";
    return tool.run(argv, o);
  }
  // Runs `vardo ARGS ../fifo` in "out", the archive `name` written into the FIFO as it reads.
  test::RunResult run_piped(const std::string &name, std::vector<std::string> args) {
    mkfifo((tool / "fifo").c_str(), 0644);
    args.insert(args.begin(), {"sh", "-c",
                               "cat ../" + name +
                                   " > ../fifo & ../vardo \"$@\" ../fifo; s=$?; "
                                   "wait; exit $s",
                               "sh"});
    auto r = run_out(args);
    unlink((tool / "fifo").c_str());
    return r;
  }
  // Checks that "out" holds the files `expected`, with their contents, and empties it.
  void expect_out(const Files &expected, const std::string &label = "") {
    Files got;
    DIR *d = opendir((tool / "out").c_str());
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name, path = tool / ("out/" + name);
      if (name == "." || name == "..")
        continue;
      got[name] = test::read_file(path);
      unlink(path.c_str());
    }
    closedir(d);
    auto names = [](const Files &files) {
      std::string text;
      for (const auto &[name, contents] : files)
        text += " " + name + " (" + std::to_string(contents.size()) + " bytes)";
      return text;
    };
    EXPECT_TRUE(got == expected) << label << ": out holds" << names(got) << " instead of"
                                 << names(expected);
  }
  test::ToolDir tool;
  std::string data, fingerprint;
  bool signing = false;
};

// Each damaged archive gets one message, status 1, and nothing written: no output, no file, no
// run command. The unsigned archive is run itself (-i checks the length all the same) and
// listed; the signed one is unpacked and listed by `vardo -K KEY.pub`.
TEST_F(Integrity, DamagedArchivesAreRefusedBeforeAnythingIsWritten) {
  test::write_file(tool / "alt/data", test::random_bytes(30000, 2));
  test::write_file(tool / "long/data", test::random_bytes(30001, 3));
  struct Set {
    std::string a, same, longer; // an archive, one of the same length, one a byte longer
    Layout l;
  };
  auto set_of = [&](bool sign) {
    std::string p = sign ? "signed" : "plain";
    std::string a = build_of("data", p + ".run", sign);
    Set s{a, build_of("alt/data", p + ".same", sign), build_of("long/data", p + ".longer", sign),
          layout(a)};
    EXPECT_EQ(s.same.size(), s.a.size());
    EXPECT_EQ(s.longer.size(), s.a.size() + 1);
    return s;
  };
  std::string shell = "#!/bin/sh\nexit 0\n";
  struct Damage {
    std::string what;
    std::function<std::string(const Set &)> make;
    const std::string &message;
    bool runs_itself = true; // the preamble is still the tool
  };
  auto cut = [](std::function<size_t(const Layout &)> at) {
    return [at](const Set &s) { return s.a.substr(0, at(s.l)); };
  };
  auto flip = [](std::function<size_t(const Set &)> at) {
    return [at](const Set &s) { return flipped(s.a, at(s)); };
  };
  const Damage cases[] = {
      {"cut after the VARDO_TRAILER item", cut([](auto &l) { return l.magic + 11 + 13; }),
       kNotWhole},
      {"cut in the comment", cut([](auto &l) { return l.comment + 3; }), kNotWhole},
      {"cut where the payload begins", cut([](auto &l) { return l.payload; }), kNotWhole},
      {"cut in the gzip header", cut([](auto &l) { return l.payload + 5; }), kNotWhole},
      {"cut in the DEFLATE data", cut([](auto &l) { return (l.payload + l.trailer) / 2; }),
       kNotWhole},
      {"cut in the member's ISIZE", cut([](auto &l) { return l.trailer - 2; }), kNotWhole},
      {"cut where the trailer begins", cut([](auto &l) { return l.trailer; }), kNotWhole},
      {"cut in the trailer's digest", cut([](auto &l) { return l.trailer + 40; }), kNotWhole},
      {"cut before the trailer's last 18 bytes", cut([](auto &l) { return l.end - 18; }),
       kNotWhole},
      {"cut one byte short", cut([](auto &l) { return l.end - 1; }), kNotWhole},
      {"a byte appended", [](const Set &s) { return s.a + "\n"; }, kNotWhole},
      {"the trailer appended again", [](const Set &s) { return s.a + s.a.substr(s.l.trailer); },
       kNotWhole},
      {"a section name flipped in the preamble",
       flip([](const Set &s) { return section_name_byte(s.a); }), kChanged},
      {"the comment flipped", flip([](const Set &s) { return s.l.comment; }), kChanged},
      {"the NAME item flipped", flip([](const Set &s) { return s.l.comment - 2; }), kChanged},
      {"the gzip MTIME flipped", flip([](const Set &s) { return s.l.payload + 5; }), kChanged},
      {"the DEFLATE data flipped",
       flip([](const Set &s) { return (s.l.payload + s.l.trailer) / 2; }), kChanged},
      {"the trailer's digest flipped", flip([](const Set &s) { return s.l.trailer + 30; }),
       kChanged},
      {"the trailer's length flipped", flip([](const Set &s) { return s.l.trailer + 17; }),
       kNotWhole},
      {"the trailer's own length flipped", flip([](const Set &s) { return s.l.end - 18; }),
       kNotWhole},
      {"the trailer's mark flipped", flip([](const Set &s) { return s.l.end - 14; }), kNotWhole},
      {"the preamble replaced by a script of its size",
       [&](const Set &s) {
         return shell + std::string(s.l.magic - shell.size(), '#') + s.a.substr(s.l.magic);
       },
       kChanged, false},
      {"the trailer of an archive of the same length",
       [](const Set &s) { return s.a.substr(0, s.l.trailer) + s.same.substr(s.l.trailer); },
       kChanged},
      {"the trailer of a longer archive",
       [](const Set &s) { return s.a.substr(0, s.l.trailer) + s.longer.substr(s.l.trailer + 1); },
       kNotWhole},
  };
  std::vector<Set> sets = {set_of(false)};
  if (signing)
    sets.push_back(set_of(true));
  ASSERT_LT(section_name_byte(sets[0].a), sets[0].l.magic);
  for (const Set &s : sets) {
    bool sign = &s != &sets[0];
    const std::string path = sign ? "../s.run" : "../c.run";
    std::vector<std::vector<std::string>> runs;
    if (sign)
      runs = {{"../vardo", "-K", "../key.pub", "-u", path},
              {"../vardo", "-K", "../key.pub", "-l", path}};
    else
      runs = {{"../vardo", "-l", path}, {path}, {path, "-x"}, {path, "-i", "-n"}};
    // Whole, each archive unpacks and runs its run command.
    test::write_file(tool / path.substr(3), s.a, 0755);
    auto r = run_out(runs[sign ? 0 : 1]);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_out(Files{{"data", data}, {"ran", ""}});
    for (const Damage &d : cases) {
      test::write_file(tool / path.substr(3), d.make(s), 0755);
      for (const auto &argv : runs) {
        if ((argv[0] == path && !d.runs_itself) ||
            (argv.size() > 1 && argv[1] == "-i" && d.message != kNotWhole))
          continue;
        std::string label = d.what + ":";
        for (const std::string &word : argv)
          label += " " + word;
        r = run_out(argv);
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(r.err, argv[0] + ": " + path + ": " + d.message + "\n") << label;
        expect_out(Files{}, label);
      }
    }
  }
}

// With -i the length is checked, the digest not: a cut or padded archive is still refused, a
// changed CRC is found by the gzip reader, and a changed byte that nothing else covers (the gzip
// MTIME, a raw payload's byte) goes through.
TEST_F(Integrity, WithoutTheDigestTheLengthStillRefusesCutsAndPadding) {
  std::string changed = flipped(data, 100);
  struct Case {
    const char *what;
    bool raw;
    std::function<std::string(const std::string &, const Layout &)> make;
    std::string error; // the end of the message; none when the archive unpacks
    const std::string &unpacked;
  };
  const Case cases[] = {
      {"cut one byte short", false, [](auto &a, auto &l) { return a.substr(0, l.end - 1); },
       kNotWhole, data},
      {"a byte appended", false, [](auto &a, auto &) { return a + "x"; }, kNotWhole, data},
      {"a raw archive cut in its payload", true,
       [](auto &a, auto &l) { return a.substr(0, l.payload + 10); }, kNotWhole, data},
      {"the member's CRC flipped", false,
       [](auto &a, auto &l) { return flipped(a, l.trailer - 8); },
       "invalid compressed data--crc error", data},
      {"the trailer's digest flipped", false,
       [](auto &a, auto &l) { return flipped(a, l.trailer + 30); }, "", data},
      {"the gzip MTIME flipped", false, [](auto &a, auto &l) { return flipped(a, l.payload + 5); },
       "", data},
      {"a raw payload's byte flipped", true,
       [](auto &a, auto &l) { return flipped(a, l.payload + 100); }, "", changed},
  };
  std::string gzip = build_of("data", "gzip.run"), raw = build_of("data", "raw.run", false, true);
  for (const Case &c : cases) {
    const std::string &a = c.raw ? raw : gzip;
    test::write_file(tool / "c.run", c.make(a, layout(a)), 0755);
    auto r = run_out({"../c.run", "-i"});
    if (c.error.empty()) {
      EXPECT_EQ(r.status, 0) << c.what << r.err;
      expect_out(Files{{"data", c.unpacked}, {"ran", ""}}, c.what);
      continue;
    }
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_TRUE(r.err.ends_with("../c.run: ../c.run: " + c.error + "\n")) << c.what << r.err;
    expect_out(Files{}, c.what);
  }
}

// Read through a pipe, the digest is taken as the payload streams and checked at its end: a
// change that inflates fine (the gzip MTIME, any byte of a raw payload) leaves the output written
// but the run command not run, status 1. A raw payload's output stops before its trailer.
TEST_F(Integrity, APipedArchiveIsCheckedAsItStreams) {
  std::vector<std::string> cmds = {"-C", "", "-f", "cat > got", "-r", "touch ran", "data"};
  build(cmds, "gzip.run");
  cmds.insert(cmds.begin(), "-a");
  build(cmds, "raw.run");
  struct Case {
    const char *archive;
    size_t flip_at; // from the payload; 0 for none
    bool to_stdout; // -x
    std::string out;
    Files left;
  };
  const Case cases[] = {
      {"gzip.run", 5, false, "", {{"got", data}}},
      {"gzip.run", 5, true, data, {}},
      {"raw.run", 100, false, "", {{"got", flipped(data, 100)}}},
      {"raw.run", 29999, true, flipped(data, 29999), {}},
      {"gzip.run", 0, false, "", {{"got", data}, {"ran", ""}}},
      {"raw.run", 0, false, "", {{"got", data}, {"ran", ""}}},
      {"raw.run", 0, true, data, {}},
  };
  for (const Case &c : cases) {
    std::string a = test::read_file(tool / c.archive);
    size_t payload = layout(a).payload;
    test::write_file(tool / "c.run", c.flip_at ? flipped(a, payload + c.flip_at) : a);
    auto r = run_piped("c.run", c.to_stdout ? std::vector<std::string>{"-u", "-x"}
                                            : std::vector<std::string>{"-u"});
    std::string label = std::string(c.archive) + " flipped at " + std::to_string(c.flip_at) +
                        (c.to_stdout ? " -x" : "");
    EXPECT_EQ(r.status, c.flip_at ? 1 : 0) << label << r.err;
    EXPECT_EQ(r.err.ends_with("../vardo: ../fifo: " + kChanged + "\n"), c.flip_at != 0)
        << label << r.err;
    EXPECT_TRUE(r.out == c.out) << label << ": " << r.out.size() << " bytes on standard output";
    expect_out(c.left, label);
  }
}

// The payload (from the end of the header block to the end of the file, trailer included) is
// what gzip and tar read as before.
TEST_F(Integrity, GzipAndTarReadThePayloadAsBefore) {
  test::write_file(tool / "b", test::text_bytes(5000, 2));
  ASSERT_EQ(tool.run({"tar", "cf", "t.tar", "data", "b"}).status, 0);
  std::string tar = test::read_file(tool / "t.tar");
  std::string a = build({"t.tar"}, "t.run"), payload = a.substr(layout(a).payload);
  test::write_file(tool / "payload.gz", payload);
  auto gunzip = test::system_gunzip(payload);
  EXPECT_TRUE(gunzip.ok);
  EXPECT_TRUE(gunzip.data == tar);
  auto r = tool.run({"tar", "-tzf", "payload.gz"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "data\nb\n");
  EXPECT_EQ(r.err, "");
}

// The listing shows the digest of the first L bytes, as sha256sum computes it, and the signer
// verified by -K, or how to verify it; an archive built before trailers has no digest.
TEST_F(Integrity, SignedArchivesAreVerifiedByTheInstalledTool) {
  if (!signing)
    GTEST_SKIP() << "ssh-keygen is not installed";
  keygen("bob", "ed25519");
  test::write_file(tool / "allowed", "alice@example.com " + test::read_file(tool / "key.pub"));
  std::string s = build_of("data", "s.run", true), u = build_of("data", "u.run");
  test::write_file(tool / "alt/data", test::random_bytes(30000, 2));
  std::string other = build_of("alt/data", "other.run", true);
  Layout l = layout(s);
  // A signature over the same text in namespace "other", one with a changed byte, and one that
  // signs the text of another archive, none covered by the digest.
  std::string text = "vardo archive 1\nlength " + std::to_string(l.trailer) + "\nsha256 " +
                     test::sha256sum_hex(s.substr(0, l.trailer)) + "\n";
  test::write_file(tool / "text", text);
  auto r = tool.run({"ssh-keygen", "-q", "-Y", "sign", "-n", "other", "-f", "key", "text"});
  ASSERT_EQ(r.status, 0) << r.err;
  test::write_file(tool / "ns.run", with_signature(s, l, test::read_file(tool / "text.sig")), 0755);
  std::string blob = test::dearmor(signature_of(s, l));
  ASSERT_EQ(test::armor(blob), signature_of(s, l));
  test::write_file(tool / "bad.run",
                   with_signature(s, l, test::armor(flipped(blob, blob.size() - 9))), 0755);
  test::write_file(tool / "moved.run", with_signature(s, l, signature_of(other, layout(other))),
                   0755);

  struct Case {
    const char *keys, *archive;
    std::string message; // the line on standard error, or of the listing
    bool verified;
  };
  const std::string trust = "signed by " + fingerprint +
                            ", which ../bob.pub does not trust: "
                            "the signing key is not among the trusted keys";
  const Case cases[] = {
      {"key.pub", "s.run", fingerprint, true},
      {"allowed", "s.run", fingerprint + " as alice@example.com", true},
      {"bob.pub", "s.run", trust, false},
      {"key.pub", "u.run", "the archive is not signed", false},
      {"key.pub", "ns.run", "the signature was made for another namespace", false},
      {"key.pub", "bad.run", "the SSH signature does not verify", false},
      {"key.pub", "moved.run", "the SSH signature does not verify", false},
  };
  for (const Case &c : cases) {
    std::string keys = std::string("../") + c.keys, path = std::string("../") + c.archive;
    std::string label = std::string(c.keys) + " " + c.archive;
    r = run_out({"../vardo", "-K", keys, "-l", path});
    EXPECT_EQ(r.status, c.verified ? 0 : 1) << label << r.err;
    if (c.verified) {
      EXPECT_TRUE(r.out.ends_with(" Digest: sha256 " + test::sha256sum_hex(s.substr(0, l.trailer)) +
                                  " of the first " + std::to_string(l.trailer) +
                                  " bytes, checked\n Signer: " + c.message + ", verified\n"))
          << label << r.out;
    } else {
      EXPECT_EQ(r.out, "") << label;
      EXPECT_EQ(r.err, "../vardo: " + path + ": " + c.message + "\n") << label;
    }
    r = run_out({"../vardo", "-K", keys, "-u", path});
    EXPECT_EQ(r.status, c.verified ? 0 : 1) << label << r.err;
    if (c.verified) {
      EXPECT_TRUE(
          r.err.starts_with("../vardo: " + path + ": signed by " + c.message + ", verified\n"))
          << label << r.err;
      expect_out(Files{{"data", data}, {"ran", ""}}, label);
    } else {
      EXPECT_EQ(r.err, "../vardo: " + path + ": " + c.message + "\n") << label;
      expect_out(Files{}, label);
    }
  }
  // A stored name with a control character is escaped in a verified listing wherever it goes.
  test::write_file(tool / "d\x1b[2Kx", "data");
  build_of("d\x1b[2Kx", "esc.run", true);
  r = run_out({"../vardo", "-K", "../key.pub", "-l", "../esc.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" d\\033[2Kx\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  // Without -K: the signer is not verified, and an archive without a trailer has no digest.
  r = run_out({"../vardo", "-l", "../s.run"});
  EXPECT_TRUE(r.out.ends_with(" checked\n Signer: signed, not verified: verify with vardo -K FILE "
                              "-l ../s.run\n"))
      << r.out;
  tool.make_archive("old.run", "NAME=data", "", "", "", test::zlib_gzip(data));
  r = run_out({"../vardo", "-l", "../old.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(" Digest: none: the archive was built without one\n")) << r.out;
  // The archive's own code cannot vouch for it.
  const std::string vouch = "an archive cannot vouch for itself: verify it with the installed "
                            "tool: vardo -K ../key.pub ";
  for (const auto &[argv, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"../s.run", "-K", "../key.pub"}, "../s.run: " + vouch + "-u ../s.run"},
           {{"../s.run", "-K", "../key.pub", "-l"}, "../s.run: " + vouch + "-l ../s.run"},
           {{"../s.run", "-K", "../key.pub", "-u", "../u.run"},
            "../s.run: " + vouch + "-u ../u.run"}}) {
    r = run_out(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err + "\n");
    expect_out(Files{});
  }
  // Through a pipe the archive is copied before it is verified, then unpacked from the copy; a
  // damaged one is refused before anything is written.
  r = run_piped("s.run", {"-K", "../key.pub", "-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(", verified\n")) << r.out;
  r = run_piped("s.run", {"-K", "../key.pub", "-u"});
  EXPECT_EQ(r.status, 0) << r.err;
  expect_out(Files{{"data", data}, {"ran", ""}});
  std::string damaged = test::read_file(tool / "s.run");
  damaged[damaged.size() / 2] ^= 1;
  test::write_file(tool / "d.run", damaged, 0755);
  r = run_piped("d.run", {"-K", "../key.pub", "-u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "../vardo: ../fifo: the archive's digest does not match its bytes: it was "
                   "changed after it was built\n");
  expect_out(Files{});
}

// A key that is not Ed25519, one that cannot be read or used, or no ssh-keygen at all fails the
// build, and the output file is left empty.
// A verified archive is unpacked from the private copy that was checked, never from the file
// again: here its extract command cuts the file's end before reading the payload, and what it
// gets is what was signed. The listing and the run's messages escape the header's control
// characters wherever they go, so no line of a comment passes for their own; a keys file may be a
// pipe, and an archive named with a slash needs no execute permission. Through a pipe, a trailer at
// the end is checked even when the header no longer announces it.
TEST_F(Integrity, VerificationUsesOnlyTheBytesItChecked) {
  if (!signing)
    GTEST_SKIP() << "ssh-keygen is not installed";
  std::string big = test::random_bytes(2 << 20, 7);
  test::write_file(tool / "big", big);
  std::string a = build({"-K", "key", "-C", "", "-r", "touch ran", "-f",
                         "truncate -s -100000 ../c.run && cat > %p/%o", "big"},
                        "c.run");
  auto r = run_out({"../vardo", "-K", "../key.pub", "-u", "-q", "../c.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  expect_out(Files{{"big", big}, {"ran", ""}});
  EXPECT_NE(test::read_file(tool / "c.run"), a); // the file did change under the run
  // Without -K the file is read as it is, and the cut shows.
  r = run_out({"../vardo", "-u", "../c.run"});
  EXPECT_EQ(r.status, 1);
  expect_out(Files{});
  build({"-K", "key", "-C", "safe\n Signer: SHA256:forged, verified", "data"}, "f.run");
  chmod((tool / "f.run").c_str(), 0644);
  r = run_out({"bash", "-c", "../vardo -K <(cat ../key.pub) -l ../f.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Comment: safe\\n Signer: SHA256:forged, verified\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with(" Signer: " + fingerprint + ", verified\n")) << r.out;
  // So do the run's messages, after its own line.
  r = run_out({"../vardo", "-K", "../key.pub", "-u", "../f.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.ends_with(
      ", verified\n\nComment: safe\\n Signer: SHA256:forged, verified\n\nPlease wait...\n"))
      << r.err;
  expect_out(Files{{"data", test::read_file(tool / "data")}});
  build({"-K", "key", "-f", "exit 3 #\n Signer: SHA256:forged, verified", "data"}, "g.run");
  r = run_out({"../vardo", "-K", "../key.pub", "-u", "-q", "../g.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      r.err.ends_with("the extract command failed: exit 3 #\\n Signer: SHA256:forged, verified\n"))
      << r.err;
  std::string unannounced = build_of("data", "n.run");
  size_t item = unannounced.find("VARDO_TRAILER");
  unannounced[item] = 'X';
  unannounced[unannounced.size() / 2] ^= 1;
  test::write_file(tool / "n.run", unannounced, 0755);
  r = run_piped("n.run", {"-u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("../vardo: ../fifo: the archive's digest does not match its bytes: "
                              "it was changed after it was built\n"))
      << r.err;
  expect_out(Files{}); // the default extraction's file is not kept, nor the run command run
}

TEST_F(Integrity, SigningRefusesWhatCannotSign) {
  if (!signing)
    GTEST_SKIP() << "ssh-keygen is not installed";
  keygen("ecdsa", "ecdsa");
  ASSERT_EQ(tool.run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "secret", "-f", "locked"}).status,
            0);
  mkdir((tool / "bin").c_str(), 0755);
  struct Case {
    const char *key;
    std::vector<std::string> env;
    std::string message;
  };
  const Case cases[] = {
      {"ecdsa", {}, "ecdsa: not an Ed25519 key: archives are signed with Ed25519 keys only"},
      {"missing", {}, "missing: ssh-keygen cannot read this key"},
      {"key",
       {"PATH=" + tool / "bin"},
       "ssh-keygen: No such file or directory (signing needs OpenSSH's ssh-keygen)"},
      // No terminal to ask on: the passphrase asked of a program that gives none.
      {"locked",
       {"SSH_ASKPASS=/bin/false", "SSH_ASKPASS_REQUIRE=force"},
       "locked: the archive could not be signed: ssh-keygen failed"},
  };
  for (const Case &c : cases) {
    test::RunOptions o;
    o.stdout_path = tool / "out.run";
    o.env = c.env;
    auto r = tool.run({"./vardo", "-K", c.key, "data"}, o);
    EXPECT_EQ(r.status, 1) << c.key;
    EXPECT_TRUE(r.err.ends_with("./vardo: " + c.message + "\n")) << c.key << r.err;
    EXPECT_EQ(test::read_file(tool / "out.run"), "") << c.key;
  }
}

// The signature verifies with ssh-keygen alone, over the text written again from what od, head
// and sha256sum read of the file; a changed byte makes it fail.
TEST_F(Integrity, SshKeygenAloneVerifiesTheSignature) {
  if (!signing)
    GTEST_SKIP() << "ssh-keygen is not installed";
  test::write_file(tool / "allowed_signers",
                   "alice@example.com " + test::read_file(tool / "key.pub"));
  std::string s = build_of("data", "s.run", true);
  const std::string recipe =
      "size=$(wc -c < x.run); tlen=$(od -An -tu4 -j $((size - 18)) -N 4 x.run | tr -d ' '); "
      "len=$((size - tlen))\n"
      "digest=$(head -c $len x.run | sha256sum | cut -d' ' -f1)\n"
      "printf 'vardo archive 1\\nlength %s\\nsha256 %s\\n' $len $digest > x.signed\n"
      "tail -c $tlen x.run | sed -n '/^-----BEGIN SSH SIGNATURE-----$/,/^-----END SSH "
      "SIGNATURE-----$/p' > x.sig\n"
      "ssh-keygen -Y verify -f allowed_signers -I alice@example.com -n vardo -s x.sig < "
      "x.signed\n";
  test::write_file(tool / "x.run", s);
  auto r = tool.run({"sh", "-c", recipe});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Good \"vardo\" signature for alice@example.com with ED25519 key " +
                       fingerprint + "\n");
  test::write_file(tool / "x.run", flipped(s, layout(s).comment));
  r = tool.run({"sh", "-c", recipe});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out.find("Good"), std::string::npos) << r.out;
}

// An earlier vardo, built from the last commit before trailers, reads a new archive as before.
class EarlierVardo : public Integrity {
protected:
  static void SetUpTestSuite() {
    const char *commit = "f0fa202";
    if (test::run(
            {"git", "-C", VARDO_SOURCE_DIR, "cat-file", "-e", std::string(commit) + "^{commit}"})
            .status != 0) {
      skip = std::string("commit ") + commit + " is not in the checkout's history";
      return;
    }
    dir = std::make_unique<test::TempDir>();
    auto r = test::run(
        {"sh", "-c",
         "git -C \"$1\" archive $2 src | tar x -C \"$3\" && cd \"$3\" && mkdir -p generated/driver "
         "&& sed 's/@PROJECT_VERSION@/0/' src/driver/version.h.in > generated/driver/version.h "
         "&& g++ -std=c++20 -O0 -w -Isrc -Igenerated src/*/*.cpp -lz -o old",
         "sh", VARDO_SOURCE_DIR, commit, dir->path()});
    built = r.status == 0;
    build_log = r.err;
  }
  static void TearDownTestSuite() { dir.reset(); }
  void SetUp() override {
    if (!skip.empty())
      GTEST_SKIP() << skip;
    ASSERT_TRUE(built) << build_log;
    Integrity::SetUp();
    old = *dir / "old";
  }
  static inline std::string skip, build_log;
  static inline bool built = false;
  static inline std::unique_ptr<test::TempDir> dir;
  std::string old;
};

TEST_F(EarlierVardo, UnpacksAndListsANewSignedArchive) {
  if (!signing)
    GTEST_SKIP() << "ssh-keygen is not installed";
  std::string a = build_of("data", "s.run", true);
  Layout l = layout(a);
  auto r = tool.run({old, "-u", "-x", "./s.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == data);
  r = run_out({old, "-u", "../s.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  expect_out(Files{{"data", data}, {"ran", ""}});
  // The same lines as the new listing, but the trailer counted as a last, empty member.
  auto now = tool.run({"./vardo", "-l", "./s.run"}).out;
  r = tool.run({old, "-l", "./s.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  size_t stats = now.find("\n", now.find("uncompressed_name")) + 1;
  EXPECT_EQ(r.out.substr(0, stats), now.substr(0, stats));
  char line[64];
  snprintf(line, sizeof line, "%9zu %9zu ", l.end - l.payload, data.size());
  EXPECT_EQ(r.out.substr(stats, strlen(line)), line) << r.out;
  EXPECT_TRUE(r.out.ends_with(" data\n")) << r.out;
}

// An earlier vardo gives a new raw payload with the trailer's bytes after it: it cannot tell the
// trailer from the payload, which runs to the end of the file. (A raw payload records no size,
// which the earlier vardo would check those bytes against.)
TEST_F(EarlierVardo, GivesANewRawPayloadWithTheTrailerAfterIt) {
  std::string a = build_of("data", "r.run", false, true);
  Layout l = layout(a);
  auto r = tool.run({old, "-u", "-x", "./r.run"});
  EXPECT_TRUE(r.out == a.substr(l.payload)) << r.out.size() << " bytes";
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_out({old, "-u", "../r.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  expect_out(Files{{"data", a.substr(l.payload)}, {"ran", ""}});
}

} // namespace
} // namespace vardo

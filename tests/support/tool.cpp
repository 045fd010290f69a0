#include "support/tool.h"

#include <cstring>
#include <elf.h>

#include "driver/version.h"
#include "support/fork.h"

namespace vardo::test {

ElfFacts read_elf(const std::string &path) {
  ElfFacts facts;
  std::string bytes = read_file(path);
  Elf64_Ehdr eh;
  if (bytes.size() < sizeof eh || bytes.compare(0, SELFMAG, ELFMAG) != 0 ||
      bytes[EI_CLASS] != ELFCLASS64)
    return facts;
  memcpy(&eh, bytes.data(), sizeof eh);
  if (eh.e_phentsize != sizeof(Elf64_Phdr) ||
      eh.e_phoff + eh.e_phnum * sizeof(Elf64_Phdr) > bytes.size())
    return facts;
  facts.elf = true;
  facts.machine = eh.e_machine;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    memcpy(&ph, bytes.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
    facts.interpreter |= ph.p_type == PT_INTERP;
    facts.dynamic |= ph.p_type == PT_DYNAMIC;
  }
  return facts;
}

// The release number comes from the build; the rest of the line is fixed.
static const std::string kVersionLine =
    std::string("Version: @(#) vardo ") + kReleaseNumber + "    6/6/2001 \n";

const char kArchiveHelp[] =
    "    -h: show this help\n"
    "    -u: use as utility to decompress archive specified on command-line\n"
    "    -l: list compression statistics\n"
    "    -c: extract to stdout instead of archive name\n"
    "    -x: extract only. do not deflate the archive\n"
    "    -n: do not run install command after deflating archive\n"
    "    -t: temp path for decompression if archive allows\n"
    "    -v: verbose output\n";

// The lines of the options that came later, after the usage as it always was.
static const char kArchiveMore[] =
    "    -d dir: unpack into this directory (made when missing) and run the installer there\n"
    "    -T: unpack into a private temporary directory, removed when the run ends\n"
    "    -k: keep the temporary directory, and name it\n"
    "    -q: quiet: no comment, no \"Please wait...\", no progress line\n"
    "    -s: skip the check that the filesystem has room for the payload\n"
    "    -i: check the archive's length but not its digest before unpacking\n"
    "    -- args: the installer's arguments (without --, the operands that follow the options)\n";

std::string build_usage(const std::string &program) {
  return kVersionLine + "Usage: " + program +
         " [-huclva] [-p vardo_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
         "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
         "[-F feature_sting] <files...>\n"
         "    -T: the archive unpacks into a private temporary directory unless told otherwise\n"
         "    -q: quiet: no progress line\n"
         "    -K key: sign the archive with this OpenSSH Ed25519 key, through ssh-keygen -Y sign\n"
         "    -K keys -l|-u archive: verify the archive's signature against these trusted keys "
         "first\n";
}

std::string archive_usage(const std::string &program, const std::string &comment) {
  return kVersionLine + "\n" + comment + "\n\n" + "Usage: " + program + " [-hclnvtx]\n" +
         kArchiveHelp + kArchiveMore;
}

ToolDir::ToolDir() { write_file(dir_ / "vardo", read_file(vardo_binary()), 0755); }

RunResult ToolDir::run(const std::vector<std::string> &argv, RunOptions options) const {
  if (options.cwd.empty())
    options.cwd = dir_.path();
  return test::run(argv, options);
}

std::string ToolDir::tool_bytes() const { return read_file(dir_ / "vardo"); }

void ToolDir::make_archive(const std::string &name, const std::string &features,
                           const std::string &comment, const std::string &run_command,
                           const std::string &extract_command, const std::string &payload) const {
  write_file(dir_ / name,
             archive_bytes(tool_bytes(), features, comment, run_command, extract_command, payload),
             0755);
}

} // namespace vardo::test

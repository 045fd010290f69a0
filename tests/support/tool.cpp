#include "support/tool.h"

#include "support/fork.h"

namespace vardo::test {

const char kVersionLine[] = "Version: @(#) vardo 1.2.1    6/6/2001 \n";

const char kArchiveHelp[] =
    "    -h: show this help\n"
    "    -u: use as utility to decompress archive specified on command-line\n"
    "    -l: list compression statistics\n"
    "    -c: extract to stdout instead of archive name\n"
    "    -x: extract only. do not deflate the archive\n"
    "    -n: do not run install command after deflating archive\n"
    "    -t: temp path for decompression if archive allows\n"
    "    -v: verbose output\n";

std::string build_usage(const std::string &program) {
  return std::string(kVersionLine) + "Usage: " + program +
         " [-huclva] [-p vardo_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
         "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
         "[-F feature_sting] <files...>\n";
}

std::string archive_usage(const std::string &program, const std::string &comment) {
  return std::string(kVersionLine) + "\n" + comment + "\n\n" + "Usage: " + program +
         " [-hclnvtx]\n" + kArchiveHelp;
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

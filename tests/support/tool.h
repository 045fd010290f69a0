// A working directory holding a copy of the built tool, for tests that run it as users do.
#pragma once
#include <string>
#include <vector>

#include "support/process.h"

namespace vardo::test {

// What the program headers of a 64-bit ELF file say about how it starts.
struct ElfFacts {
  bool elf = false;         // a 64-bit ELF file at all
  unsigned machine = 0;     // EM_X86_64, EM_AARCH64, ...
  bool interpreter = false; // a PT_INTERP header: started by a dynamic loader
  bool dynamic = false;     // a PT_DYNAMIC header: shared libraries or relocations to resolve
};
ElfFacts read_elf(const std::string &path);

extern const char kArchiveHelp[];
std::string build_usage(const std::string &program);
std::string archive_usage(const std::string &program, const std::string &comment);

class ToolDir {
public:
  ToolDir(); // copies the tool to ./vardo in a fresh directory
  const std::string &path() const { return dir_.path(); }
  std::string operator/(const std::string &name) const { return dir_ / name; }
  // Runs a program in the directory (for example "./vardo" or "./a.run") with arguments.
  RunResult run(const std::vector<std::string> &argv, RunOptions options = {}) const;
  // Writes an archive made of a copy of the tool, the magic, the strings and the payload.
  void make_archive(const std::string &name, const std::string &features,
                    const std::string &comment, const std::string &run_command,
                    const std::string &extract_command, const std::string &payload) const;
  std::string tool_bytes() const;

private:
  TempDir dir_;
};

} // namespace vardo::test

// The driver's own settings, written while it parses the command line. What the layers below
// read from the command line lives in their own structs, which the driver fills as well: the
// program name, exit status and common flags (process), the build's preamble path
// (archive_build) and the extraction's options (extract_options).
#pragma once

namespace vardo {

struct Settings {
  bool archive_mode = false; // the running file (or the -u operand) is an archive
  bool use_operand = false;  // -u: the first operand names the archive
  // The running program's own file when it is an archive: open at its payload, its header read
  // into archive_header by the mode probe, once per run. -1 otherwise.
  int own_archive = -1;
  // The header strings of -C, -r and -f as given (each checked to fit a header string), null
  // where the option was not given. The comment becomes what the usage shows and a build writes.
  const char *comment = nullptr;
  const char *run_command = nullptr;
  const char *extract_command = nullptr;
};

extern Settings settings;

} // namespace vardo

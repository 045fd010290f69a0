// The driver's own settings, written while it parses the command line. What the layers below
// read from the command line lives in their own structs, which the driver fills as well: the
// program name, exit status and common flags (process), the build's preamble path
// (archive_build) and the extraction's options (extract_options).
#pragma once

namespace vardo {

struct Settings {
  bool archive_mode = false; // the running file (or the -u operand) is an archive
  bool use_operand = false;  // -u: the first operand names the archive
};

extern Settings settings;

} // namespace vardo

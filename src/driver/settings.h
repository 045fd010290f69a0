// Process-wide settings, written by the driver while it parses the command line and read by the
// other parts afterwards.
#pragma once

namespace vardo {

constexpr int kTextBufferSize = 1024;
constexpr int kItemBufferSize = 256;

struct Settings {
  const char *program_name = nullptr; // argv[0] exactly as given; first word of every message
  bool archive_mode = false;          // the running file (or the -u operand) is an archive
  bool use_operand = false;           // -u: the first operand names the archive
  int list = 0;                       // -l
  int to_stdout = 0;                  // -c
  int extract_only = 0;               // -x
  int no_run = 0;                     // -n
  int verbose = 0;                    // -v
  char preamble_path[kTextBufferSize] = {};
  char temp_path[kTextBufferSize] = {};
  int exit_status = 0;
  char item[kItemBufferSize] = {}; // scratch for prefixed feature items and raw copy chunks
  bool heading_printed = false;    // the listing's column heading comes once per process
};

extern Settings settings;

} // namespace vardo

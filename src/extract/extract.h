#pragma once
#include "archive/header.h"
#include "gzstream/stream.h"
#include "lib/text.h"

namespace vardo {

// What an extraction takes from the command line; the driver fills it.
struct ExtractOptions {
  bool verbose = false;        // -v: "Deflating ...", the questions, a member header's extras
  bool to_stdout = false;      // -c: the stored name does not become the output name
  bool extract_only = false;   // -x: the payload to standard output, nothing run
  bool no_run = false;         // -n
  bool temporary = false;      // -T: unpack into a private temporary directory
  bool keep = false;           // -k: ... and keep it
  bool quiet = false;          // -q: no comment, "Please wait...", "Deflating ..." nor progress
  bool no_space_check = false; // -s: not the check every unpacking makes
  char temp_path[kTextBufferSize] = {};  // -t
  char target_dir[kTextBufferSize] = {}; // -d
  char *const *args = nullptr;           // the run command's operands, NULL-terminated
};

// Performs one complete extraction of the archive `path`, open on `fd` with its header `h` read
// and positioned at the payload, through the stream `s`; closes it. Returns 0 on success, -1
// after the messages.
int extract_archive(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s, int fd,
                    const char *path);

} // namespace vardo

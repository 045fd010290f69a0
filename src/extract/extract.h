// One extraction of an archive: its payload unpacked through the extract command (or the tool's
// own default), then its run command run.
//
// Who is trusted, for every check of this layer: whoever runs an archive trusts its author with
// what its commands do, and nothing else. Listing, -x and -n trust nothing in an archive. Other
// local users are never trusted: the names of directories they chose (%p), the links and files
// they plant in shared directories, their processes. So a value never becomes shell text
// (extract/command.h), nothing made in a shared directory follows a link the tool did not expect
// (extract/space.h, extract/place.h, extract/output.h), no failure is reported as success, and
// nothing is removed recursively but a directory the run made itself (lib/tree.h). Where a check
// cannot be sure, it refuses with a message.
#pragma once
#include "archive/header.h"
#include "archive/integrity.h"
#include "archive/signature.h"
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
  bool no_digest = false;      // -i: the archive's length is checked, not its digest
  const char *keys = nullptr;  // -K: the trusted keys its signature must verify against
  char temp_path[kTextBufferSize] = {};  // -t
  char target_dir[kTextBufferSize] = {}; // -d
  char *const *args = nullptr;           // the run command's operands, NULL-terminated
};

// Performs one complete extraction of the archive `path`, open on `fd` with its header `h` read
// and positioned at the payload, through the stream `s`, its integrity checked in `g`; closes it.
// Returns 0 on success, -1 after the messages.
int extract_archive(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                    Integrity &g, int fd, const char *path);

// Checks the archive open on `fd` as the options ask before anything of it is used: its length
// and digest, and with -K its signature (`who` then names the signer). Puts the tap on the stream
// when the digest is taken as the payload streams. Returns 0, or -1 after the message.
int check_before_use(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                     Integrity &g, int fd, Signer *who);

} // namespace vardo

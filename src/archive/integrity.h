// The checks that an archive is whole and unchanged, made before its payload is unpacked: the
// length its trailer records against its file, then the digest of those bytes. An archive read
// through a pipe can be read only once: its digest is taken as it streams and checked at its end.
#pragma once
#include <cstdint>

#include "archive/header.h"
#include "archive/trailer.h"
#include "gzstream/stream.h"
#include "gzstream/tap.h"

namespace vardo {

// What the checks found about one archive; kept to the end of its reading.
struct Integrity {
  bool trailer = false;  // it ends with a trailer (a pipe: its header's item says it will)
  Trailer found;         // the trailer, once read: at once from a file, at the end from a pipe
  bool streamed = false; // the digest is taken again as the payload is read, and checked at its end
  DigestTap tap;         // ...by this tap, started by the header's reading on a pipe
};

// How much of the checks a run asks for.
struct IntegrityRequest {
  bool digest = true;  // false with -i: the length alone
  bool reread = false; // the payload is read a second time after a verified digest (-K), and
                       // checked again as it streams, in case the file changed in between
};

// Checks, before anything else, the archive open on `fd` (named `path`), whose header `h` was
// read: that the file holds exactly the bytes its trailer records, then their digest, the header
// strings being the very bytes hashed. Returns 0 with `g` filled in, or -1 after the message.
int check_archive(Integrity &g, const ArchiveHeader &h, int fd, const char *path,
                  const IntegrityRequest &request);

// Ends the digest taken as the payload streamed: what is left of the input is read through the
// tap, then the trailer found in its last bytes must end the file, where the payload ended
// (`payload_end` bytes from the start of the file; 0 for a raw payload, which ends at its
// trailer), and the digest must match. Returns 0, or -1 after the message.
int finish_streamed_digest(Integrity &g, StreamState &s, uint64_t payload_end);

// Prints "PROGRAM: PATH: " and the refusal of an archive that is not whole, or that changed.
void report_not_whole(const char *path);

} // namespace vardo

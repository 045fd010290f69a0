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
  bool streamed = false; // a pipe: the tap takes its bytes, and its end is checked at its end
  bool digest = true;    // ... with the digest (not with -i)
  DigestTap tap;         // ...started by the header's reading
};

// Checks, before anything else, the archive open on `fd` (named `path`), whose header `h` was
// read: that the file holds exactly the bytes its trailer records, then, with `digest`, their
// digest, the header strings being the very bytes hashed. A pipe is checked at its end. Returns 0
// with `g` filled in, or -1 after the message.
int check_archive(Integrity &g, const ArchiveHeader &h, int fd, const char *path, bool digest);

// Ends the reading of a pipe: what is left of the input is read through the tap, then a trailer
// found in its last bytes must end the file (it must be there when the header says so) and, as
// asked, its digest match. Returns 0, or -1 after the message.
int finish_streamed_digest(Integrity &g, StreamState &s);

// Opens the archive `name` to be verified: the file itself when the name holds a slash, else as
// locate_program finds it. It is copied whole into a private file of this process (unnamed, in
// $TMPDIR or /tmp, or in memory), whose header is read into `h`: every check is made on the copy
// and the archive is unpacked from it, so that no byte is used that was not checked, whoever
// changes the file meanwhile. Returns the copy's descriptor at the payload, or -1 after a
// message.
int open_private_copy(ArchiveHeader &h, const char *name);

// Prints "PROGRAM: PATH: " and the refusal of an archive that is not whole, or that changed.
void report_not_whole(const char *path);

} // namespace vardo

#pragma once
#include <cstdint>
#include <sys/types.h>

#include "gzstream/stream.h"

namespace vardo {

// What the header of a member holds besides its framing, for the caller to make of it what it
// needs (the output name, the listing's date and ratio).
struct GzipMember {
  char *name = nullptr; // a buffer of kNameSize bytes that takes the stored name; null skips it
  uint32_t mtime = 0;   // MTIME; 0 where the member records none
  uint32_t header_bytes = 0; // the header's length plus the 8-byte trailer
};

// Reads and checks the gzip member header at the input of `s` into `member`. Returns the method,
// 8, with the input positioned at the DEFLATE stream; or -1 after a message (exit status 1).
// `verbose` shows a part number and an extra field.
int read_gzip_header(StreamState &s, GzipMember *member, bool verbose);

// Inflates one member from the input of `s` (the input buffer first) to its output and verifies
// its CRC32, and its ISIZE against the output byte count or the member's own length. Every
// failure takes the abort path.
void inflate_member(StreamState &s);

// Inflates the member whose header has been read and every gzip member that follows it, each
// checked on its own, up to the end of the source. Bytes after a member that are not a whole
// gzip member are an error. Every failure takes the abort path.
void inflate_payload(StreamState &s, bool verbose);

// Reads the gzip trailer in the last 8 bytes of the input file of `s`: CRC32 and ISIZE, least
// significant byte first. Returns the trailer's offset; a file too short for one ends the
// process with the read-error report.
off_t read_final_trailer(StreamState &s, uint32_t *crc, uint32_t *size);

} // namespace vardo

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
  uint16_t subfield = 0;     // the extra field's first subfield identifier, SI1 << 8 | SI2
  bool named = false;        // it has a stored name: the first member of an input
  // The block record, when the extra field begins with one: the member's length, and its data's.
  uint32_t block_length = 0;
  uint32_t block_size = 0;
};

// The subfield "VD" marks the member that ends an archive, its trailer (archive/trailer.h),
// which is not payload.
constexpr uint16_t kTrailerSubfield = 'V' << 8 | 'D';
// The subfield "VB", 8 bytes, records a member's length (from its first byte through ISIZE) and
// its data's (ISIZE), so that a reader finds the member's end without inflating it and decodes
// it whole (gzstream/gzip_writer.cpp writes them).
constexpr uint16_t kBlockSubfield = 'V' << 8 | 'B';

// Reads and checks the gzip member header at the input of `s` into `member`. Returns the method,
// 8, with the input positioned at the DEFLATE stream; or -1 after a message (exit status 1).
// `verbose` shows a part number and an extra field.
int read_gzip_header(StreamState &s, GzipMember *member, bool verbose);

// A member's trailer: CRC32 and ISIZE.
struct GzipTrailer {
  uint32_t crc = 0;
  uint32_t size = 0;
};

// Inflates one member from the input of `s` (the input buffer first) to its output and verifies
// its CRC32, and its ISIZE against the output byte count or the member's own length. Returns the
// trailer; every failure takes the abort path.
GzipTrailer inflate_member(StreamState &s);

// Where a payload ended: the CRC of its last input (the combined CRC of that input's members,
// the first of which has a stored name), and the input consumed through its last member since
// the last reset_stream.
struct PayloadEnd {
  uint32_t crc = 0;
  uint64_t consumed = 0;
};

// Chains the member of CRC `crc` and length `size` into `end`: a `named` member begins an input.
void chain_member(PayloadEnd &end, bool named, uint32_t crc, uint64_t size);

// Inflates the member whose header `first` has been read and every gzip member that follows it,
// each checked on its own: members with a block record whole, on every processor, the others
// through zlib's streaming inflate. A gzip magic after a member begins another member, which must
// be whole; the archive's trailer and any other bytes end the payload and are not read further.
// Every failure takes the abort path.
PayloadEnd inflate_payload(StreamState &s, const GzipMember &first, bool verbose);

// The uncompressed size of the payload from offset `begin` to `end` of the input file of `s`,
// without moving the input or inflating: the sum of the lengths the block records hold when every
// member has one, else the ISIZE of the last member (the running total of every member, as this
// tool wrote them before block records). The members are checked when they are inflated; a file
// too short for a trailer ends the process with the read-error report.
uint64_t payload_uncompressed_size(StreamState &s, uint64_t begin, uint64_t end);

} // namespace vardo

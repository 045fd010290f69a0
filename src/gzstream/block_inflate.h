// Members that carry a block record (gzstream/gzip_writer.cpp): each read whole into a slot and
// decoded with libdeflate on every processor the process may run on (gzstream/workers.h), its
// CRC and length checked, then written in order. Memory is fixed per worker, whatever the size of
// the payload: a slot holds one member and the block it decodes to, and there is one slot more
// than there are workers. Members without a record go through zlib's streaming inflate.
#pragma once
#include <cstdint>

#include "gzstream/gzip_reader.h"
#include "gzstream/workers.h"

namespace vardo {

// The decoding of one payload's block members: the members handed out and written so far. (The
// slots stay mapped from one payload to the next, private to the decoder.)
struct BlockDecoder {
  uint64_t handed = 0;
  uint64_t written = 0;
};

// Whether the member whose header `m` has been read is decoded whole: its block record leaves
// room for the header and the trailer, and the member and its block fit a slot.
bool block_member_fits(const GzipMember &m);

// Reads the rest of that member into a slot and hands it out to be decoded, first writing the
// earliest member when every slot is taken. A member that ends before its record says is cut:
// the end-of-file report.
void block_member_take(StreamState &s, BlockDecoder &d, const GzipMember &m, PayloadEnd &end);

// Writes every member handed out, in order, each chained into `end`; with `stop`, ends the
// workers too. A member that does not decode takes the abort path with its message.
void block_members_write(StreamState &s, BlockDecoder &d, PayloadEnd &end, bool stop);

} // namespace vardo

#pragma once
#include <cstdint>
#include <cstdio>

#include "archive/header.h"
#include "gzstream/stream.h"

namespace vardo {

// Prints the header block `h` of the archive `path`, open on `fd` and positioned at the payload,
// and, for a gzip payload, its statistics line (with the method, CRC and date when `verbose`),
// reading through the stream `s`; closes `fd`. A failure sets the exit status to 1.
void list_archive(const ArchiveHeader &h, StreamState &s, int fd, const char *path, bool verbose);

// Writes numerator/denominator in tenths of a percent, with its sign, as in " 75.6%".
void print_ratio(int32_t numerator, int32_t denominator, FILE *out);

} // namespace vardo

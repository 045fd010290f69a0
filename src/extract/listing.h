#pragma once
#include <cstdint>
#include <cstdio>

#include "archive/header.h"
#include "extract/extract.h"
#include "gzstream/stream.h"

namespace vardo {

// Prints the header block `h` of the archive `path`, open on `fd` and positioned at the payload,
// and, for a gzip payload, its statistics line (with the method, CRC and date when -v is given),
// then its digest and signer, reading through the stream `s`; with -K, verifies its signature
// first. Closes `fd`. A failure sets the exit status to 1.
void list_archive(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                  Integrity &g, int fd, const char *path);

// Writes numerator/denominator in tenths of a percent, with its sign, as in " 75.6%".
void print_ratio(int32_t numerator, int32_t denominator, FILE *out);

} // namespace vardo

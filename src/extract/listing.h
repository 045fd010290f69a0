#pragma once
#include <cstdint>
#include <cstdio>

namespace vardo {

struct ListingState {
  bool heading_printed = false; // the column heading comes once per process
};

extern ListingState listing;

// Prints the header block of the archive `path`, open on `fd` with its header read and positioned
// at the payload, and, for a gzip payload, its statistics line; closes it. A failure sets the exit
// status to 1.
void list_archive(int fd, const char *path);

// Writes numerator/denominator in tenths of a percent, with its sign, as in " 75.6%".
void print_ratio(int32_t numerator, int32_t denominator, FILE *out);

} // namespace vardo

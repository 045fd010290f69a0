#pragma once
#include <cstdint>
#include <cstdio>

namespace vardo {

struct ListingState {
  bool heading_printed = false; // the column heading comes once per process
};

extern ListingState listing;

// Prints the header block of one archive and, for a gzip payload, its statistics line; a
// failure sets the exit status to 1.
void list_archive(const char *path);

// Writes numerator/denominator in tenths of a percent, with its sign, as in " 75.6%".
void print_ratio(int32_t numerator, int32_t denominator, FILE *out);

} // namespace vardo

// The printf family's formatting, in place of the C library's in the static executable: musl's
// vfprintf, which also formats floating point (never used here), costs the preamble of every
// archive about 10 KiB; this one about 1 KiB. It takes what the tool and the C library's own
// callers (asctime's "%.3s %.3s%3d %.2d:%.2d:%.2d %d") write: the flags '-', '0', '+', ' ' and
// '#', a width and a precision (numbers or '*'), the lengths hh, h, l, ll, j, z and t, and the
// conversions d, i, u, o, x, X, c, s, p and %. A conversion it does not know (a floating-point
// one) is written out as it stands.
#pragma once
#include <cstdarg>
#include <cstdio>

namespace vardo {

// Formats as vfprintf does and writes the text to `out` with fwrite. Returns the characters
// formatted, or -1 when the write failed.
int print_format(FILE *out, const char *format, va_list args);

} // namespace vardo

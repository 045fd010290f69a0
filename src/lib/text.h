// Bounded copies into the fixed text buffers of the system.
#pragma once
#include <cstddef>

namespace vardo {

// Copies `src` into `dst` of `size` bytes. Returns 0, or -1 without touching `dst` when the text
// and its NUL would not fit.
int copy_text(char *dst, size_t size, const char *src);

template <size_t N> int copy_text(char (&dst)[N], const char *src) {
  return copy_text(dst, N, src);
}

} // namespace vardo

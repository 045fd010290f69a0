// Bounded copies into the fixed text buffers of the system, and bounded answers read into them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vardo {

// The size of the text buffers that hold a path or an option argument.
constexpr int kTextBufferSize = 1024;

// Copies `src` into `dst` of `size` bytes. Returns 0, or -1 without touching `dst` when the text
// and its NUL would not fit.
int copy_text(char *dst, size_t size, const char *src);

template <size_t N> int copy_text(char (&dst)[N], const char *src) {
  return copy_text(dst, N, src);
}

// Formats into `dst` of `size` bytes as snprintf does. Returns 0, or -1 when the text and its NUL
// did not fit (`dst` then holds as much as fitted).
[[gnu::format(printf, 3, 4)]] int format_text(char *dst, size_t size, const char *format, ...);

// The first place where `part` stands in `text`, or null; as strstr, by a plain walk, which the
// short texts of a header need (the C library's search for long texts costs 1.3 KiB of
// executable).
const char *find_text(const char *text, const char *part);

// Whether the `len` characters at `word` are one of the words of `list`, which single blanks
// separate (a list in one string costs no pointer per word in the executable).
bool is_listed(const char *word, size_t len, const char *list);

// Whether the `len` characters at `text` are those of `word`, ASCII letters in either case (as
// strncasecmp, whose locale-aware copy in the C library costs 184 bytes of executable).
bool same_letters(const char *text, const char *word, size_t len);

// Reads the decimal digits at the start of `text` into `value`. Returns the first character after
// them, or null when there is none or the number would not fit in 64 bits (the C library's strtoul
// costs 1.9 KiB of executable).
const char *read_decimal(const char *text, uint64_t *value);

// Reads one line of standard input as an answer: at most size - 1 characters are kept in `buf`,
// and the rest of a longer line is read and dropped, so each question gets a line of its own.
// Returns false at the end of input.
bool read_answer(char *buf, int size);

} // namespace vardo

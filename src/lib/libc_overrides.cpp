// The C library's allocation functions, its formatting and getopt, given by the tool's own code in
// the static executable alone: musl's allocator would add about 8 KiB to the preamble of every
// archive (lib/heap.h), its vfprintf about 10 KiB (lib/print_format.h), its getopt, which reads
// option letters as multibyte characters, 1.7 KiB. musl's own code allocates
// through internal names (posix_spawn's file actions are freed with __libc_free, atexit takes
// __libc_calloc), which are given here too, so that every block comes from one heap and musl's
// allocator stays out of the link; fprintf, printf, snprintf and vsnprintf all format through
// vfprintf. The tests and the sanitizer builds keep the C library's.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/heap.h"
#include "lib/print_format.h"

extern "C" {

void *malloc(size_t size) { return vardo::heap_alloc(size); }

void free(void *block) { vardo::heap_free(block); }

void *realloc(void *block, size_t size) { return vardo::heap_realloc(block, size); }

void *calloc(size_t count, size_t size) {
  if (size && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  void *block = vardo::heap_alloc(count * size);
  if (block)
    memset(block, 0, count * size); // a freed block holds what it held
  return block;
}

void *__libc_malloc(size_t size) { return malloc(size); }
void __libc_free(void *block) { free(block); }
void *__libc_calloc(size_t count, size_t size) { return calloc(count, size); }
void *__libc_realloc(void *block, size_t size) { return realloc(block, size); }

int vfprintf(FILE *out, const char *format, va_list args) {
  return vardo::print_format(out, format, args);
}

char *optarg;
int optind = 1, opterr = 1, optopt;

// POSIX getopt, over bytes: a leading "+" (no permuting, which POSIX never does) is passed over;
// with a ":" after it a missing argument gives ':', else '?'. No message is printed: the tool's
// option string begins with ":" and it prints its own. optopt is set only for an error, so that
// a valid '?' leaves it as it was.
int getopt(int argc, char *const argv[], const char *options) {
  static int at; // the letter of argv[optind] read next; 0 before its "-"
  if (!at) {
    const char *word = optind < argc ? argv[optind] : nullptr;
    if (!word || word[0] != '-' || !word[1])
      return -1;
    if (strcmp(word, "--") == 0) {
      ++optind;
      return -1;
    }
    at = 1;
  }
  char *word = argv[optind];
  int c = static_cast<unsigned char>(word[at++]);
  bool last = !word[at];
  options += *options == '+';
  const char *letter = c == ':' ? nullptr : strchr(options + (*options == ':'), c);
  if (!letter || letter[1] != ':') {
    if (last) {
      ++optind;
      at = 0;
    }
    if (!letter)
      optopt = c;
    return letter ? c : '?';
  }
  // The argument is the rest of this word, else the next word, whatever it begins with.
  optarg = last ? argv[optind + 1] : word + at;
  optind += last ? 2 : 1;
  at = 0;
  if (optind > argc) {
    optopt = c;
    return *options == ':' ? ':' : '?';
  }
  return c;
}

} // extern "C"

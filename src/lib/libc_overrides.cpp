// The C library's allocation functions and its formatting, given by the tool's own code in the
// static executable alone: musl's allocator would add about 8 KiB to the preamble of every
// archive (lib/heap.h), its vfprintf about 10 KiB (lib/print_format.h). musl's own code allocates
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

} // extern "C"

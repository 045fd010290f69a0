// The executable's heap, in place of the C library's allocator. The tool allocates a few small
// tables (the split feature items, the commands' environments, an argument vector), so a simple
// allocator does: a block's size is rounded up to a power of two from 16 bytes on, blocks are
// carved from mappings of 64 KiB and kept, once freed, on one list per size for the next request
// of that size; a block larger than 32 KiB is a mapping of its own, unmapped when freed. Blocks
// are aligned to 16 bytes. Not for threads (the tool has none) nor signal handlers (which never
// allocate). It costs the executable about 8 KiB less than musl's allocator.
#pragma once
#include <cstddef>

namespace vardo {

// As malloc, free and realloc.
void *heap_alloc(size_t size);
void heap_free(void *block);
void *heap_realloc(void *block, size_t size);

} // namespace vardo

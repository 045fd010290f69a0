#include "lib/heap.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>

namespace vardo {

namespace {

// Every block is preceded by 16 bytes that say how large it is: its size class (block of 1 << class
// bytes) or kMapped, with the length of its own mapping.
struct BlockHead {
  size_t mapped_length; // kMapped blocks: the length of the mapping, this head included
  uint32_t size_class;
  uint32_t unused;
};
static_assert(sizeof(BlockHead) == 16, "blocks stay aligned to 16 bytes");

constexpr uint32_t kMapped = 0xFFFFFFFFu;
constexpr uint32_t kSmallestClass = 4; // 16 bytes
constexpr uint32_t kLargestClass = 15; // 32 KiB
constexpr size_t kChunkSize = 64 * 1024;

// A freed block of a size class: the next one of its class.
struct FreeBlock {
  FreeBlock *next;
};

struct Heap {
  FreeBlock *free[kLargestClass + 1] = {};
  unsigned char *chunk = nullptr; // the rest of the current mapping
  size_t chunk_left = 0;
};

Heap heap;

void *map(size_t length) {
  void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

BlockHead *head_of(void *block) { return static_cast<BlockHead *>(block) - 1; }

// The smallest class whose blocks hold `size` bytes.
uint32_t class_of(size_t size) {
  uint32_t c = kSmallestClass;
  while ((size_t{1} << c) < size)
    ++c;
  return c;
}

// A block of a mapping of its own.
void *alloc_mapped(size_t size) {
  size_t length = (size + sizeof(BlockHead) + 4095) & ~size_t{4095};
  auto *head = static_cast<BlockHead *>(length > size ? map(length) : nullptr);
  if (!head) {
    errno = ENOMEM;
    return nullptr;
  }
  head->mapped_length = length;
  head->size_class = kMapped;
  return head + 1;
}

// A block of class `c`: a freed one, else carved from the current mapping or a new one.
void *alloc_small(uint32_t c) {
  if (FreeBlock *f = heap.free[c]) {
    heap.free[c] = f->next;
    return f;
  }
  size_t need = sizeof(BlockHead) + (size_t{1} << c);
  if (heap.chunk_left < need) {
    auto *chunk = static_cast<unsigned char *>(map(kChunkSize));
    if (!chunk) {
      errno = ENOMEM;
      return nullptr;
    }
    heap.chunk = chunk; // the rest of the last one stays unused
    heap.chunk_left = kChunkSize;
  }
  auto *head = reinterpret_cast<BlockHead *>(heap.chunk);
  heap.chunk += need;
  heap.chunk_left -= need;
  head->size_class = c;
  return head + 1;
}

// The bytes a block holds.
size_t capacity(void *block) {
  BlockHead *head = head_of(block);
  return head->size_class == kMapped ? head->mapped_length - sizeof(BlockHead)
                                     : size_t{1} << head->size_class;
}

} // namespace

void *heap_alloc(size_t size) {
  if (size > (size_t{1} << kLargestClass))
    return alloc_mapped(size);
  return alloc_small(class_of(size));
}

void heap_free(void *block) {
  if (!block)
    return;
  BlockHead *head = head_of(block);
  if (head->size_class == kMapped) {
    munmap(head, head->mapped_length);
    return;
  }
  auto *f = static_cast<FreeBlock *>(block);
  f->next = heap.free[head->size_class];
  heap.free[head->size_class] = f;
}

void *heap_realloc(void *block, size_t size) {
  if (!block)
    return heap_alloc(size);
  size_t held = capacity(block);
  if (size <= held)
    return block;
  void *moved = heap_alloc(size);
  if (moved) {
    memcpy(moved, block, held);
    heap_free(block);
  }
  return moved;
}

} // namespace vardo

#include "lib/heap.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace vardo {
namespace {

// Blocks of every size class and beyond, each filled with its own pattern: aligned to 16 bytes,
// apart from one another, their contents kept through growing reallocations and across many
// mappings of blocks.
TEST(Heap, BlocksKeepTheirBytesApart) {
  std::vector<std::pair<unsigned char *, size_t>> blocks;
  for (size_t size : {0, 1, 15, 16, 17, 100, 4096, 32767, 32768, 32769, 70000, 1 << 20}) {
    for (int copy = 0; copy < 3; ++copy) {
      auto *p = static_cast<unsigned char *>(heap_alloc(size));
      ASSERT_NE(p, nullptr) << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
      memset(p, static_cast<int>(blocks.size() & 0xFF), size);
      blocks.emplace_back(p, size);
    }
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    auto [p, size] = blocks[i];
    for (size_t at = 0; at < size; at += 97)
      ASSERT_EQ(p[at], i & 0xFF) << "block " << i << " of " << size << " bytes, byte " << at;
  }
  // A table grown one entry at a time, as the environment tables are.
  auto *table = static_cast<uint32_t *>(heap_alloc(0));
  for (uint32_t n = 1; n <= 50000; ++n) {
    table = static_cast<uint32_t *>(heap_realloc(table, n * sizeof *table));
    ASSERT_NE(table, nullptr);
    table[n - 1] = n * 2654435761u;
  }
  for (uint32_t n = 1; n <= 50000; ++n)
    ASSERT_EQ(table[n - 1], n * 2654435761u) << n;
  heap_free(table);
  for (auto [p, size] : blocks)
    heap_free(p);
  heap_free(nullptr);
}

// A freed block is the next one of its size class; a shrinking reallocation keeps its block.
TEST(Heap, FreedBlocksAreUsedAgain) {
  void *a = heap_alloc(200);
  void *b = heap_alloc(200);
  heap_free(a);
  EXPECT_EQ(heap_alloc(129), a); // 200 and 129 both take a block of 256
  EXPECT_EQ(heap_realloc(b, 10), b);
  EXPECT_EQ(heap_realloc(b, 256), b);
  void *moved = heap_realloc(b, 257);
  EXPECT_NE(moved, b);
  EXPECT_EQ(heap_alloc(256), b);
  // A request that no mapping can hold fails as malloc fails.
  errno = 0;
  EXPECT_EQ(heap_alloc(SIZE_MAX - 8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

} // namespace
} // namespace vardo

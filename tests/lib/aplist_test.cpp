#include "lib/aplist.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <malloc.h>
#include <string>

namespace vardo {
namespace {

int destroyed = 0;
void count_destroy(void *item) {
  ++destroyed;
  free(item);
}

TEST(Aplist, NonPositiveCapacityBecomesOne) {
  for (int capacity : {0, -3}) {
    void **list = aplist_new(capacity, nullptr);
    ASSERT_NE(list, nullptr);
    AplistHeader *h = aplist_header(list);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->capacity, 1);
    EXPECT_EQ(h->no_destroy, 1);
    EXPECT_EQ(h->items, list);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(list[1], nullptr);
    aplist_free(list);
  }
}

TEST(Aplist, SixthItemDoublesCapacityAndKeepsItems) {
  static int values[6];
  void **list = aplist_new(5, nullptr);
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(aplist_add(&list, &values[i]), 0);
  void **before = list;
  ASSERT_EQ(aplist_add(&list, &values[5]), 0);
  EXPECT_NE(list, before);
  AplistHeader *h = aplist_header(list);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->capacity, 10);
  EXPECT_EQ(aplist_count(list), 6);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(list[i], &values[i]);
  EXPECT_EQ(list[6], nullptr);
  aplist_free(list); // no destroy function: the static items are left alone
}

TEST(Aplist, GrowthKeepsDestroyFunctionAndReleasesWithoutDestroying) {
  destroyed = 0;
  void **list = aplist_new(1, count_destroy);
  ASSERT_EQ(aplist_add(&list, strdup("a")), 0);
  ASSERT_EQ(aplist_add(&list, strdup("b")), 0); // grows: old storage released
  ASSERT_EQ(aplist_add(&list, strdup("c")), 0); // grows again
  EXPECT_EQ(destroyed, 0);
  AplistHeader *h = aplist_header(list);
  EXPECT_EQ(h->destroy, count_destroy);
  EXPECT_EQ(h->no_destroy, 0);
  EXPECT_STREQ(static_cast<char *>(list[2]), "c");
  aplist_free(list);
  EXPECT_EQ(destroyed, 3);
}

TEST(Aplist, CountOfPlainArrayScansAndStoresNothing) {
  const char *plain[] = {"x", "y", "z", nullptr};
  EXPECT_EQ(aplist_count(reinterpret_cast<void **>(const_cast<char **>(plain))), 3);
  EXPECT_EQ(aplist_count(nullptr), 0);
}

TEST(Aplist, CountScansWhenCachedCountIsZero) {
  void **list = aplist_new(4, nullptr);
  static int a, b;
  list[0] = &a;
  list[1] = &b;
  EXPECT_EQ(aplist_count(list), 2);
  EXPECT_EQ(aplist_header(list)->count, 2);
  aplist_free(list);
}

// A plain NULL-terminated array given to aplist_free loses its items and itself. The items are
// large enough (64 KiB) to bypass glibc's per-thread caches, so the heap in use shows each free;
// the sanitizer build, whose allocator keeps no such count, proves it with its leak checker.
TEST(Aplist, FreeOnPlainArrayFreesItemsAndArray) {
  std::string big(64 * 1024, 'x');
  void **plain = static_cast<void **>(calloc(3, sizeof(void *)));
  plain[0] = strdup(big.c_str());
  plain[1] = strdup(big.c_str());
  EXPECT_EQ(aplist_header(plain), nullptr);
#ifndef VARDO_SANITIZED
  size_t before = mallinfo2().uordblks;
  aplist_free(plain);
  EXPECT_GE(before - mallinfo2().uordblks, 2 * big.size());
#else
  aplist_free(plain);
#endif
}

TEST(Aplist, AddRefusesNoneAndPlainArrays) {
  void **none = nullptr;
  EXPECT_EQ(aplist_add(&none, nullptr), -1);
  // A plain array is not a list: refused, and nothing in front of it is read (the sanitizer
  // build would report a read before the array).
  void *plain[3] = {nullptr, nullptr, nullptr};
  void **handle = plain;
  EXPECT_EQ(aplist_add(&handle, plain), -1);
  EXPECT_EQ(plain[0], nullptr);
}

TEST(Aplist, ReleasedHandleIsNoLongerAList) {
  void **list = aplist_new(2, nullptr);
  void **stale = list;
  AplistHeader *header = aplist_header(list);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->items, list);
  aplist_release(list);
  EXPECT_EQ(aplist_header(stale), nullptr);
}

} // namespace
} // namespace vardo

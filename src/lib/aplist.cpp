#include "lib/aplist.h"

#include <cstddef>
#include <cstdlib>

namespace vardo {

static_assert(offsetof(AplistHeader, magic) + sizeof(int) == sizeof(AplistHeader),
              "the magic word must sit directly before item 0");

// Every list from aplist_new until its release, newest first.
static AplistHeader *live_lists = nullptr;

void **aplist_new(int capacity, AplistDestroy destroy) {
  if (capacity <= 0)
    capacity = 1;
  void *block =
      calloc(1, sizeof(AplistHeader) + (static_cast<size_t>(capacity) + 1) * sizeof(void *));
  if (!block)
    return nullptr;
  auto *header = static_cast<AplistHeader *>(block);
  header->items = reinterpret_cast<void **>(header + 1);
  header->capacity = capacity;
  if (destroy)
    header->destroy = destroy;
  else
    header->no_destroy = 1;
  header->magic = kAplistMagic;
  header->next_live = live_lists;
  live_lists = header;
  return header->items;
}

AplistHeader *aplist_header(void **list) {
  if (!list)
    return nullptr;
  for (AplistHeader *h = live_lists; h; h = h->next_live)
    if (h->items == list)
      return h->magic == kAplistMagic ? h : nullptr;
  return nullptr;
}

int aplist_count(void **list) {
  if (!list)
    return 0;
  AplistHeader *header = aplist_header(list);
  if (header && header->count)
    return header->count;
  int n = 0;
  while (list[n])
    ++n;
  if (header)
    header->count = n;
  return n;
}

int aplist_add(void ***list, void *item) {
  if (!list || !*list)
    return -1;
  AplistHeader *header = aplist_header(*list);
  if (!header)
    return -1;
  int n = aplist_count(*list);
  if (n >= header->capacity) {
    void **grown = aplist_grow(*list, header->capacity);
    if (!grown)
      return -1;
    *list = grown;
    header = aplist_header(grown);
  }
  header->count++;
  (*list)[n] = item;
  (*list)[n + 1] = nullptr;
  return 0;
}

void **aplist_grow(void **list, int extra) {
  if (!list)
    return nullptr;
  int n = aplist_count(list);
  void **grown = aplist_new(n + extra, nullptr);
  if (!grown)
    return nullptr;
  for (int i = 0; i < n; ++i)
    grown[i] = list[i];
  if (AplistHeader *old = aplist_header(list)) {
    AplistHeader *header = aplist_header(grown);
    header->count = old->count;
    header->no_destroy = old->no_destroy;
    header->destroy = old->destroy;
  }
  aplist_release(list);
  return grown;
}

void aplist_release(void **list) {
  if (!list)
    return;
  for (void **slot = list; *slot; ++slot)
    *slot = nullptr;
  if (AplistHeader *header = aplist_header(list)) {
    header->magic = 0;
    for (AplistHeader **link = &live_lists; *link; link = &(*link)->next_live) {
      if (*link == header) {
        *link = header->next_live;
        break;
      }
    }
    free(header);
  } else {
    free(list);
  }
}

void aplist_free(void **list) {
  if (!list)
    return;
  if (AplistHeader *header = aplist_header(list)) {
    if (!header->no_destroy && header->destroy) {
      if (header->count > 0) {
        for (int i = 0; i < header->count; ++i) {
          header->destroy(list[i]);
          list[i] = nullptr;
        }
      } else {
        for (void **slot = list; *slot; ++slot) {
          header->destroy(*slot);
          *slot = nullptr;
        }
      }
    }
  } else {
    for (void **slot = list; *slot; ++slot) {
      free(*slot);
      *slot = nullptr;
    }
  }
  aplist_release(list);
}

} // namespace vardo

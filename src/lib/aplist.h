// A growable list of pointers that is also a plain NULL-terminated pointer array: the handle is
// the address of item 0, and a hidden header sits in the same allocation right in front of it.
#pragma once

namespace vardo {

using AplistDestroy = void (*)(void *);

constexpr int kAplistMagic = 13688;

struct AplistHeader {
  AplistHeader *next_live; // the registry of live lists (see aplist_header)
  void **items;            // the array that follows this header (the handle itself)
  int count;               // cached item count; 0 means "count by scanning"
  int capacity;            // slots for items; the array has one more for the NULL
  int no_destroy;          // 1 when made without a destroy function
  AplistDestroy destroy;   // called on each item by aplist_free
  int unused;              // keeps `magic` the word directly before item 0
  int magic;               // kAplistMagic while alive, 0 once released
};

void **aplist_new(int capacity, AplistDestroy destroy);
// The header of a list made by aplist_new, or null for a plain array. Only lists known to be
// alive are looked at: reading the word in front of a plain array would read outside it.
AplistHeader *aplist_header(void **list);
int aplist_count(void **list);
int aplist_add(void ***list, void *item);
void **aplist_grow(void **list, int extra);
void aplist_release(void **list);
void aplist_free(void **list);

} // namespace vardo

#include "lib/environment.h"

#include <cerrno>
#include <cstring>

#include "lib/aplist.h"

namespace vardo {

int environment_start(Environment *env, char **base) {
  env->entries = aplist_new(64, nullptr);
  for (char **e = base; env->entries && e && *e; ++e)
    if (aplist_add(&env->entries, *e) < 0)
      env->entries = nullptr;
  if (env->entries)
    return 0;
  errno = ENOMEM;
  return -1;
}

// The length of an entry's name: up to its first "=", or all of it.
static size_t name_length(const char *entry) { return strcspn(entry, "="); }

int environment_set(Environment *env, char *entry) {
  size_t len = name_length(entry);
  void **kept = env->entries;
  bool placed = false;
  // Every entry of that name goes (an inherited environment may hold a name twice), and the new
  // one takes the place of the first.
  for (void **slot = env->entries; *slot; ++slot) {
    auto *old = static_cast<char *>(*slot);
    if (name_length(old) == len && strncmp(old, entry, len) == 0) {
      if (placed)
        continue;
      placed = true;
      old = entry;
    }
    *kept++ = old;
  }
  *kept = nullptr;
  if (AplistHeader *h = aplist_header(env->entries))
    h->count = static_cast<int>(kept - env->entries);
  if (placed || aplist_add(&env->entries, entry) == 0)
    return 0;
  errno = ENOMEM;
  return -1;
}

char **environment_array(const Environment &env) { return reinterpret_cast<char **>(env.entries); }

void environment_end(Environment *env) {
  aplist_release(env->entries);
  env->entries = nullptr;
}

} // namespace vardo

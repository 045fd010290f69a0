#include "extract/temporary.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "extract/interrupt.h"
#include "lib/text.h"
#include "lib/tree.h"

namespace vardo {

// One entry while it stands: the directory that holds it, its name there, its type and its
// identity. The signal handler reads it, so it lives in fixed storage and is complete before it
// is marked standing. (Every member starts at zero, so that the storage costs the executable
// nothing.)
struct TemporaryEntry {
  int dir_fd = 0;
  char name[256] = {};
  char shown[kTextBufferSize] = {}; // a directory's path, for messages
  mode_t type = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  volatile sig_atomic_t standing = 0;
};

struct TemporaryEntries {
  TemporaryEntry entry[4]; // by Temporary
  bool removal_at_exit = false;
  int link_dir = 0;           // the directory that holds the temporary link while it stands...
  bool link_dir_held = false; // ... when this is set
};

static TemporaryEntries temporaries;

static TemporaryEntry &entry_of(Temporary which) {
  return temporaries.entry[static_cast<int>(which)];
}

// Whether the entry's name still holds the entry made. Only async-signal-safe calls: it runs in
// the signal handler too.
static bool still_made(const TemporaryEntry &e) {
  struct stat st;
  return e.standing && fstatat(e.dir_fd, e.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         (st.st_mode & S_IFMT) == e.type && st.st_dev == e.dev && st.st_ino == e.ino;
}

// Removes the entry, a directory with what it holds (the temporary directory is private to the
// run). Returns -1 when something of it stays.
static int unlink_entry(const TemporaryEntry &e, bool private_dir) {
  if (e.standing && e.type == S_IFDIR)
    return remove_tree(e.dir_fd, e.name, e.dev, e.ino, e.shown, private_dir);
  if (still_made(e))
    unlinkat(e.dir_fd, e.name, 0);
  return 0;
}

void temporary_remove_all() {
  for (const TemporaryEntry &e : temporaries.entry)
    unlink_entry(e, &e == &entry_of(Temporary::directory));
}

static void remove_all_at_exit() {
  temporary_remove(Temporary::link);
  temporary_remove(Temporary::file);
  temporary_remove(Temporary::directory);
  temporary_remove(Temporary::target);
}

void temporary_stand(Temporary which, int dir, const char *name, const struct stat &made,
                     const char *shown) {
  TemporaryEntry &e = entry_of(which);
  e.dir_fd = dir;
  snprintf(e.name, sizeof e.name, "%s", name);
  snprintf(e.shown, sizeof e.shown, "%s", shown);
  e.type = made.st_mode & S_IFMT;
  e.dev = made.st_dev;
  e.ino = made.st_ino;
  e.standing = 1;
  if (!temporaries.removal_at_exit) {
    temporaries.removal_at_exit = true;
    atexit(remove_all_at_exit);
  }
}

bool temporary_is_ours(Temporary which) { return still_made(entry_of(which)); }

void temporary_forget(Temporary which) { entry_of(which).standing = 0; }

int make_temporary_link(int dir, const char *name, const char *target) {
  sigset_t old = hold_ending_signals();
  struct stat st;
  int result = symlinkat(target, dir, name);
  if (result == 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    temporary_stand(Temporary::link, dir, name, st);
    temporaries.link_dir = dir;
    temporaries.link_dir_held = true;
  } else if (result == 0) {
    unlinkat(dir, name, 0); // just made, but it cannot be told from another: not kept
    result = -1;
  }
  int err = errno;
  release_ending_signals(old);
  errno = err;
  return result;
}

void hold_link_directory(int dir) {
  temporaries.link_dir = dir;
  temporaries.link_dir_held = true;
}

void remove_temporary_link() {
  if (!temporaries.link_dir_held)
    return;
  temporary_remove(Temporary::link);
  close(temporaries.link_dir);
  temporaries.link_dir_held = false;
}

int temporary_remove(Temporary which) {
  TemporaryEntry &e = entry_of(which);
  if (!e.standing)
    return 0;
  sigset_t old = hold_ending_signals();
  int result = unlink_entry(e, which == Temporary::directory);
  temporary_forget(which);
  release_ending_signals(old);
  return result;
}

} // namespace vardo

#include "lib/tree.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "lib/entries.h"
#include "lib/process.h"

namespace vardo {

// How deep the walk goes: a tree deeper than this is left in place, with a message.
constexpr int kMaxDepth = 64;
// The path shown in messages, as far as it fits.
constexpr size_t kShownSize = 1024;

struct TreeWalk {
  dev_t dev;
  uint64_t mount; // the mount the tree is on, where the kernel names it
  bool any_owner; // below a private directory: whoever owns what the run's commands made
  char shown[kShownSize];
  size_t shown_len;
  bool left; // something stays
};

// Writes the parts, in turn, to standard error: no stdio, which a signal handler may not use.
static void say(const char *a, const char *b, const char *c) {
  for (const char *part : {a, ": ", b, ": ", c, "\n"})
    if (write(STDERR_FILENO, part, strlen(part)) < 0)
      return;
}

static void leave(TreeWalk *w, const char *why) {
  say(process.program_name, w->shown, why);
  w->left = true;
}

// Appends "/name" to the shown path; returns its length before, to cut it back to.
static size_t descend(TreeWalk *w, const char *name) {
  size_t before = w->shown_len;
  size_t len = strlen(name);
  if (w->shown_len + 1 + len < kShownSize) {
    w->shown[w->shown_len++] = '/';
    memcpy(w->shown + w->shown_len, name, len + 1);
    w->shown_len += len;
  }
  return before;
}

static void ascend(TreeWalk *w, size_t before) {
  w->shown_len = before;
  w->shown[before] = '\0';
}

static void remove_entries(TreeWalk *w, int dir, int depth);

// The id of the mount that the entry `name` of `dir` is on (statx's STATX_MNT_ID, Linux 5.8), or
// 0 where the kernel does not say. A bind mount of the same filesystem has the device number of
// what it is mounted on; only its mount tells it. struct statx has stx_mask at 0 and stx_mnt_id
// at 144.
static uint64_t mount_of(int dir, const char *name) {
  constexpr unsigned kMountId = 0x1000;
  uint64_t buf[32]; // sizeof (struct statx)
  uint64_t id = 0;
  if (syscall(SYS_statx, dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kMountId, buf) == 0 &&
      (buf[0] & kMountId))
    id = buf[18];
  return id;
}

// Gives a directory of this user's that the payload made read-only (tar keeps a directory's mode)
// back its owner's rights, so that what it holds can go; by descriptor, never by name.
static void open_up(int fd, const struct stat &st) {
  if (st.st_uid == geteuid() && (st.st_mode & 0700) != 0700)
    fchmod(fd, (st.st_mode & 07777) | 0700);
}

// Opens the directory `name` of `dir` without following a link. In a private tree, where no other
// user can put anything in its place, one of this user's that cannot be read is first given its
// owner's rights by name (following no link).
static int open_dir(int dir, const char *name, const struct stat &st, bool private_tree) {
  int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, name, flags);
  if (fd < 0 && errno == EACCES && private_tree && st.st_uid == geteuid() &&
      fchmodat(dir, name, (st.st_mode & 07777) | 0700, AT_SYMLINK_NOFOLLOW) == 0)
    fd = openat(dir, name, flags);
  return fd;
}

// Removes the entry `name` of `dir`: a directory of this user's on the same filesystem with what
// it holds, anything else as a name.
static void remove_entry(TreeWalk *w, int dir, const char *name, int depth) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
    return; // gone already
  size_t before = descend(w, name);
  if (S_ISDIR(st.st_mode)) {
    if (st.st_dev != w->dev || mount_of(dir, name) != w->mount) {
      leave(w, "another filesystem is mounted here; not removed");
    } else if (st.st_uid != geteuid() && !w->any_owner) {
      leave(w, "a directory of another user; not removed");
    } else if (depth == kMaxDepth) {
      leave(w, "too deep; not removed");
    } else {
      int fd = open_dir(dir, name, st, w->any_owner);
      struct stat opened;
      if (fd < 0) {
        leave(w, "could not be opened; not removed");
      } else if (fstat(fd, &opened) < 0 || opened.st_dev != st.st_dev ||
                 opened.st_ino != st.st_ino) {
        leave(w, "was replaced; not removed");
      } else {
        open_up(fd, opened);
        bool left = w->left;
        w->left = false;
        remove_entries(w, fd, depth + 1); // what stays below is named already
        if (!w->left && unlinkat(dir, name, AT_REMOVEDIR) < 0 && errno != ENOENT)
          leave(w, "could not be removed");
        w->left = w->left || left;
      }
      if (fd >= 0)
        close(fd);
    }
  } else if (unlinkat(dir, name, 0) < 0 && errno != ENOENT) {
    leave(w, "could not be removed");
  }
  ascend(w, before);
}

// What the walk of one directory needs to remove an entry of it.
struct Level {
  TreeWalk *w;
  int dir;
  int depth;
};

static bool remove_listed(const char *name, void *context) {
  auto *level = static_cast<Level *>(context);
  remove_entry(level->w, level->dir, name, level->depth);
  return true;
}

// Removes everything in the directory `dir`. Removing an entry already read does not disturb
// the reading of the others.
static void remove_entries(TreeWalk *w, int dir, int depth) {
  Level level{w, dir, depth};
  if (read_entries(dir, remove_listed, &level) < 0)
    leave(w, "could not be read");
}

int remove_tree(int parent, const char *name, dev_t dev, ino_t ino, const char *shown,
                bool private_top) {
  static TreeWalk w; // a handler may run this: no large frame on the stack it interrupted
  w.dev = dev;
  w.mount = mount_of(parent, name);
  w.any_owner = private_top;
  w.left = false;
  w.shown_len = strlen(shown) < kShownSize ? strlen(shown) : kShownSize - 1;
  memcpy(w.shown, shown, w.shown_len);
  w.shown[w.shown_len] = '\0';
  // The directory itself is entered as its entries are, once its name is seen to lead to it
  // still (and not to what was mounted there or put in its place).
  struct stat st;
  bool seen = fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!seen && errno == ENOENT)
    return 0; // gone already
  int fd =
      seen && st.st_dev == dev && st.st_ino == ino ? open_dir(parent, name, st, private_top) : -1;
  if (fd < 0 || fstat(fd, &st) < 0 || st.st_dev != dev || st.st_ino != ino ||
      st.st_uid != geteuid() || (private_top && (st.st_mode & 0077))) {
    if (fd >= 0)
      close(fd);
    leave(&w, "not the directory that was made; not removed");
    return -1;
  }
  open_up(fd, st);
  remove_entries(&w, fd, 1);
  close(fd);
  if (!w.left && unlinkat(parent, name, AT_REMOVEDIR) < 0)
    leave(&w, "could not be removed");
  return w.left ? -1 : 0;
}

} // namespace vardo

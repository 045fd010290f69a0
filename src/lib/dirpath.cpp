#include "lib/dirpath.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "lib/groups.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// The id in the variable `name` (set by sudo for the user who ran it), or `none`.
static unsigned id_of(const char *name, unsigned none) {
  const char *text = getenv(name);
  uint64_t id;
  const char *end = text ? read_decimal(text, &id) : nullptr;
  return end && !*end && id <= UINT32_MAX ? static_cast<unsigned>(id) : none;
}

// The user others are measured against: this one, or under sudo the user who ran it.
static uid_t user_of_run() { return geteuid() == 0 ? id_of("SUDO_UID", 0) : geteuid(); }

// Tags and the write bit of the entries of an ACL as Linux stores it in an extended attribute: a
// 4-byte version, then entries of a 2-byte tag, 2-byte permissions and 4-byte id, little-endian.
enum : unsigned {
  kNamedUser = 0x02,
  kOwningGroup = 0x04,
  kNamedGroup = 0x08,
  kOthers = 0x20,
  kWrite = 0x02
};

// Whether the ACL `name` of the directory `fd` (owned by group `gid`) lets a user other than root
// and `user` write: an entry of another user, of a group not private to `user`, or of others at
// large, with the write bit, whatever the mask (which is the group bits a chmod, or an extract
// command, may widen). Without an ACL, `none`. An ACL that cannot be read (a directory opened for
// its path alone is read through /proc) counts as one that does.
static bool acl_lets_others_write(int fd, const char *name, gid_t gid, uid_t user, bool none) {
  unsigned char acl[4 + 8 * 32];
  char path[32];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  ssize_t len = fgetxattr(fd, name, acl, sizeof acl);
  if (len < 0 && errno == EBADF)
    len = getxattr(path, name, acl, sizeof acl);
  if (len < 0)
    return errno == ENODATA || errno == EOPNOTSUPP ? none : true;
  for (ssize_t at = 4; at + 8 <= len; at += 8) {
    unsigned tag = acl[at] | acl[at + 1] << 8;
    uint32_t id = acl[at + 4] | acl[at + 5] << 8 | acl[at + 6] << 16 | uint32_t{acl[at + 7]} << 24;
    if ((acl[at + 2] & kWrite) && (tag == kOthers || (tag == kNamedUser && id != 0 && id != user) ||
                                   (tag == kOwningGroup && !group_private_to(gid, user)) ||
                                   (tag == kNamedGroup && !group_private_to(id, user))))
      return true;
  }
  return false;
}

// Whether users other than root and this one may write into the directory, sticky or not.
static bool others_may_write(int fd, const struct stat &st, uid_t user) {
  return (st.st_mode & S_IWOTH) ||
         acl_lets_others_write(fd, "system.posix_acl_access", st.st_gid, user,
                               (st.st_mode & S_IWGRP) && !group_private_to(st.st_gid, user));
}

static bool owned_by_us(const struct stat &st, uid_t user) {
  return st.st_uid == 0 || st.st_uid == geteuid() || st.st_uid == user;
}

bool others_may_change(int fd, const struct stat &st) {
  uid_t user = user_of_run();
  return !owned_by_us(st, user) || (!(st.st_mode & S_ISVTX) && others_may_write(fd, st, user));
}

// Whether the directory's group is neither private to `user` nor this process's own.
static bool group_of_others(const struct stat &st, uid_t user) {
  return st.st_gid != getegid() && !group_private_to(st.st_gid, user);
}

bool others_share_what_is_made(int fd, const struct stat &st) {
  uid_t user = user_of_run();
  return ((st.st_mode & S_ISGID) && group_of_others(st, user)) ||
         acl_lets_others_write(fd, "system.posix_acl_default", st.st_gid, user, false);
}

bool others_may_make_entries(int fd, const struct stat &st) {
  uid_t user = user_of_run();
  return !owned_by_us(st, user) || others_may_write(fd, st, user) || group_of_others(st, user) ||
         others_share_what_is_made(fd, st);
}

// Whether another user may change what the name `name` of the directory `dir` leads to.
static bool others_may_change_lookup(int dir, const char *name) {
  struct stat st, entry;
  if (fstat(dir, &st) < 0 || others_may_change(dir, st))
    return true;
  st.st_mode &= ~S_ISVTX;
  return others_may_change(dir, st) && (fstatat(dir, name, &entry, AT_SYMLINK_NOFOLLOW) < 0 ||
                                        !owned_by_us(entry, user_of_run()));
}

// Opens the directory `name` of `dir` without following a link: for reading where the user may,
// so that its ACL can be read without /proc, else for its path alone.
static int open_dir_to_check(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd >= 0 || errno != EACCES
             ? fd
             : openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int open_link_target(int dir, const char *name) {
  char rest[kTextBufferSize], target[kTextBufferSize]; // the names still to be looked up
  int at = open_dir_to_check(dir, "."), links = 0;
  copy_text(rest, name);
  for (const char *p = rest; at >= 0;) {
    if (p == rest && *p == '/') { // an absolute link
      close(at);
      at = open_dir_to_check(AT_FDCWD, "/");
    }
    p += strspn(p, "/");
    size_t n = strcspn(p, "/");
    if (n == 0)
      return at;
    char part[256];
    struct stat st;
    ssize_t len = 0;
    errno = ENAMETOOLONG;
    if (n >= sizeof part)
      break;
    memcpy(part, p, n);
    part[n] = '\0';
    p += n;
    if (others_may_change_lookup(at, part)) {
      errno = EPERM;
      break;
    }
    if (fstatat(at, part, &st, AT_SYMLINK_NOFOLLOW) < 0)
      break;
    if (!S_ISLNK(st.st_mode)) {
      int next = open_dir_to_check(at, part);
      close(at);
      at = next;
      continue;
    }
    errno = ELOOP;
    if (++links > 40 || (len = readlinkat(at, part, target, sizeof target)) < 0)
      break;
    errno = ENAMETOOLONG;
    if (static_cast<size_t>(len) + strlen(p) >= sizeof target)
      break;
    target[len] = '\0';
    strcat(target, p); // the rest begins with "/" or is empty
    copy_text(rest, target);
    p = rest;
  }
  int saved = errno;
  if (at >= 0)
    close(at);
  errno = saved;
  return -1;
}

bool root_with_shared_group(gid_t *shared) {
  // A shell started with real and effective groups apart takes the real one (dash, bash
  // without -p): both are looked at.
  for (gid_t gid : {getegid(), getgid()})
    if (geteuid() == 0 && !group_private_to(gid, user_of_run()))
      return *shared = gid, true;
  return false;
}

int make_own(int fd) {
  static const char *const kAcls[] = {"system.posix_acl_default", "system.posix_acl_access"};
  if (fchown(fd, static_cast<uid_t>(-1), getegid()) < 0)
    return -1;
  for (const char *acl : kAcls)
    if (fremovexattr(fd, acl) < 0 && errno != ENODATA && errno != EOPNOTSUPP)
      return -1;
  return 0;
}

int make_own_dir(int parent, const char *name, mode_t mode) {
  if (mkdirat(parent, name, 0700) < 0)
    return -1;
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && make_own(fd) == 0 && fchmod(fd, mode) == 0)
    return fd;
  int saved = errno;
  if (fd >= 0)
    close(fd);
  unlinkat(parent, name, AT_REMOVEDIR); // only while it is empty
  errno = saved;
  return -1;
}

// How a path is walked: what is made on the way, and what is followed.
struct Walk {
  bool create = false;       // missing directories are made...
  bool exact_mode = true;    // ... with exactly the mode, else with it less the umask
  bool own_links = false;    // a link of root's or this user's is followed
  size_t *reached = nullptr; // a missing directory ends the walk, at the one that holds it
  size_t *made = nullptr;    // where the first directory this walk made ends in the path
};

// A symbolic link `name` in `dir` that root or this user made: in a directory no other user may
// change, nobody else can have put it there or can change where it leads.
static bool is_own_link(int dir, const char *name) {
  struct stat st;
  return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
         (st.st_uid == 0 || st.st_uid == geteuid());
}

// Opens `name` in `dir`, a directory below a safe path, without following a link (but one of
// root's or this user's when `own_links`). `shown` names it in messages. Returns the descriptor,
// or -1 after a message.
static int open_step(int dir, const char *name, const char *shown, bool own_links) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!(own_links && is_own_link(dir, name)))
    flags |= O_NOFOLLOW;
  int fd = openat(dir, name, flags);
  if (fd < 0 && errno == EACCES) // a directory the user may pass through but not list
    fd = openat(dir, name, (flags & ~O_RDONLY) | O_PATH);
  struct stat st;
  if (fd < 0) {
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      fprintf(stderr, "%s: a symbolic link; not followed.\n", visible(shown, stderr));
    else
      report_errno(shown);
    return -1;
  }
  if (fstat(fd, &st) < 0 || others_may_change(fd, st)) {
    fprintf(stderr, "%s: other users may write into this directory; not used.\n",
            visible(shown, stderr));
    close(fd);
    return -1;
  }
  return fd;
}

// Gives the directory `name` of `dir`, just made, to the process as make_own does (its errno
// when it cannot).
static bool own_new_dir(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool owned = fd >= 0 && make_own(fd) == 0;
  if (fd >= 0)
    close(fd);
  return owned;
}

// Walks the absolute directory `path` from "/" as `how` says. Returns a descriptor of the
// directory, or -1 after a message.
static int walk_dir_path(const char *path, mode_t mode, const Walk &how) {
  if (path[0] != '/') {
    fprintf(stderr, "%s: not an absolute path\n", visible(path, stderr));
    return -1;
  }
  int fd = open_step(AT_FDCWD, "/", "/", false);
  size_t at = 0;
  while (fd >= 0) {
    size_t walked = at;
    while (path[at] == '/')
      ++at;
    if (how.reached)
      *how.reached = walked == 0 ? 1 : walked; // "/", or the path up to this name
    if (path[at] == '\0')
      return fd;
    size_t end = at;
    while (path[end] != '/' && path[end] != '\0')
      ++end;
    char name[256], shown[kDirPathSize];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(end - at), path + at);
    snprintf(shown, sizeof shown, "%.*s", static_cast<int>(end), path);
    struct stat st;
    if (how.reached && end - at < sizeof name && fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) < 0 &&
        errno == ENOENT)
      return fd;
    bool made = false;
    if (end - at >= sizeof name)
      errno = ENAMETOOLONG; // a shortened name would be another directory
    else if (how.create)
      made = mkdirat(fd, name, mode) == 0 && own_new_dir(fd, name);
    else
      errno = EEXIST; // only opened: open_step reports what is not there
    at = end;
    if (!made && errno != EEXIST) {
      report_errno(shown);
      close(fd);
      return -1;
    }
    int next = open_step(fd, name, shown, how.own_links);
    close(fd);
    fd = next;
    if (made && fd >= 0 && how.exact_mode)
      fchmod(fd, mode); // exactly this mode, whatever the umask
    if (made && how.made && *how.made == 0)
      *how.made = end;
  }
  return -1;
}

int make_dir_path(const char *path, mode_t mode) {
  Walk how;
  how.create = true;
  return walk_dir_path(path, mode, how);
}

int open_dir_path(const char *path) { return walk_dir_path(path, 0, Walk{}); }

int open_existing_dir_path(const char *path, size_t *reached) {
  Walk how;
  how.reached = reached;
  return walk_dir_path(path, 0, how);
}

int make_target_path(const char *path, mode_t mode, size_t *made) {
  Walk how;
  how.create = true;
  how.exact_mode = false;
  how.own_links = true;
  how.made = made;
  *made = 0;
  return walk_dir_path(path, mode, how);
}

} // namespace vardo

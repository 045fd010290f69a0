#include "lib/dirpath.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/visible.h"

namespace vardo {

// Who may change what a directory holds: other users may when it belongs to someone but root and
// this user, or when group or others may write into it without the sticky bit (which lets only
// an entry's owner remove or rename it).
static bool others_may_change(const struct stat &st) {
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
}

// Opens `name` in `dir`, a directory below a safe path, without following a link. `shown` names
// it in messages. Returns the descriptor, or -1 after a message.
static int open_step(int dir, const char *name, const char *shown) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      fprintf(stderr, "%s: a symbolic link; not followed.\n", visible(shown, stderr));
    else
      report_errno(shown);
    return -1;
  }
  if (fstat(fd, &st) < 0 || others_may_change(st)) {
    fprintf(stderr, "%s: other users may write into this directory; not used.\n",
            visible(shown, stderr));
    close(fd);
    return -1;
  }
  return fd;
}

// Walks the absolute directory `path` from "/", creating each missing directory with `mode` when
// `create` is set. With `reached` set, a missing directory ends the walk instead, at the one that
// holds it, and *reached is the length of `path` walked. Returns a descriptor of the directory,
// or -1 after a message.
static int walk_dir_path(const char *path, mode_t mode, bool create, size_t *reached = nullptr) {
  if (path[0] != '/') {
    fprintf(stderr, "%s: not an absolute path\n", visible(path, stderr));
    return -1;
  }
  int fd = open_step(AT_FDCWD, "/", "/");
  size_t at = 0;
  while (fd >= 0) {
    size_t walked = at;
    while (path[at] == '/')
      ++at;
    if (reached)
      *reached = walked == 0 ? 1 : walked; // "/", or the path up to this name
    if (path[at] == '\0')
      return fd;
    size_t end = at;
    while (path[end] != '/' && path[end] != '\0')
      ++end;
    char name[256], shown[kDirPathSize];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(end - at), path + at);
    snprintf(shown, sizeof shown, "%.*s", static_cast<int>(end), path);
    struct stat st;
    if (reached && end - at < sizeof name && fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) < 0 &&
        errno == ENOENT)
      return fd;
    bool made = false;
    if (end - at >= sizeof name)
      errno = ENAMETOOLONG; // a shortened name would be another directory
    else if (create)
      made = mkdirat(fd, name, mode) == 0;
    else
      errno = EEXIST; // only opened: open_step reports what is not there
    at = end;
    if (!made && errno != EEXIST) {
      report_errno(shown);
      close(fd);
      return -1;
    }
    int next = open_step(fd, name, shown);
    close(fd);
    fd = next;
    if (made && fd >= 0)
      fchmod(fd, mode); // exactly this mode, whatever the umask
  }
  return -1;
}

int make_dir_path(const char *path, mode_t mode) { return walk_dir_path(path, mode, true); }

int open_dir_path(const char *path) { return walk_dir_path(path, 0, false); }

int open_existing_dir_path(const char *path, size_t *reached) {
  return walk_dir_path(path, 0, false, reached);
}

} // namespace vardo

#include "extract/space.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "driver/settings.h"
#include "lib/fsinfo.h"
#include "lib/mnttab.h"
#include "lib/text.h"

namespace vardo {

// The paths of one verification: V the VFYFS value, S the FSSUB value, D V made absolute, T the
// target directory B/S (B the temporary path or D), L the link path V/S.
struct SpacePaths {
  char v[128];
  char s[256];
  char d[512];
  char t[512];
  char l[512];
  int required_mb;
};

static int too_long(const char *what, const char *text, size_t limit) {
  fprintf(stderr, "%s: %s longer than %zu characters: %s\n", settings.program_name, what, limit,
          text);
  return -1;
}

// Joins a, "/" and b into `out` of `size` bytes; -1 after a message when it does not fit.
static int join_path(char *out, size_t size, const char *a, const char *b) {
  int n = snprintf(out, size, "%s/%s", a, b);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    fprintf(stderr, "%s: path longer than %zu characters: %s/%s\n", settings.program_name, size - 1,
            a, b);
    return -1;
  }
  return 0;
}

static void drop_trailing_slash(char *path) {
  size_t len = strlen(path);
  if (len > 0 && path[len - 1] == '/')
    path[len - 1] = '\0';
}

static int check_mb(const char *path, int required_mb) {
  int root, free_mb;
  return fsinfo_check_mb(path, required_mb, &root, &free_mb);
}

// Reads V and S from the feature string and forms D, T and L. Returns -1 to refuse; values
// shorter than two characters refuse without a message.
static int prepare_paths(SpacePaths *p) {
  const char *item = feature_get("VFYFS=");
  if (!item)
    return -1;
  if (copy_text(p->v, feature_value(item)) < 0)
    return too_long("VFYFS value", feature_value(item), sizeof p->v - 1);
  memset(p->s, 0, sizeof p->s);
  if ((item = feature_get("FSSUB=")))
    copy_text(p->s, feature_value(item)); // a lookup result always fits
  if (!p->v[0] || !p->v[1] || !p->s[0] || !p->s[1])
    return -1;
  if (p->v[0] == '/') {
    if (copy_text(p->d, p->v) < 0)
      return -1;
  } else {
    char cwd[512];
    if (!getcwd(cwd, 511)) {
      perror("getcwd");
      return -1;
    }
    if (join_path(p->d, sizeof p->d, cwd, p->v) < 0)
      return -1;
  }
  char *base = settings.temp_path[0] ? settings.temp_path : p->d;
  drop_trailing_slash(base);
  if (join_path(p->t, sizeof p->t, base, p->s) < 0 || join_path(p->l, sizeof p->l, p->v, p->s) < 0)
    return -1;
  return 0;
}

static int refuse_existing(const char *path) {
  fprintf(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n",
          path);
  return -1;
}

static int refuse_no_space(const SpacePaths &p) {
  fprintf(stderr, "%s: not enough space to extract the archive.\n", p.t);
  fprintf(stderr, "Please make at least %dMb available in %s.\n", p.required_mb, p.v);
  fprintf(stderr,
          "Alternatively, you can make space available on another filesystem where a\n\"%s\" "
          "directory can be created. Ensure that the \"%s\" directory\ndoes not exist before "
          "trying again.\n",
          p.s, p.s);
  return -1;
}

// Asks, in verbose mode, before a link to `candidate` is made. End of input declines.
static bool link_confirmed(const char *candidate) {
  if (!settings.verbose)
    return true;
  fprintf(stderr, "Creating temporary link to %s\n", candidate);
  fprintf(stderr, "OK to create temporary link? [y]: ");
  char answer[4];
  if (!fgets(answer, sizeof answer, stdin))
    return false;
  return answer[0] != 'n' && answer[0] != 'N';
}

// Formats the removal command for `path`, single-quoted for the shell. -1 when it does not fit.
static int format_removal(char *cmd, size_t size, const char *path) {
  size_t w = 0;
  auto put = [&](const char *text) {
    size_t len = strlen(text);
    if (w + len >= size)
      return false;
    memcpy(cmd + w, text, len + 1);
    w += len;
    return true;
  };
  if (!put("rm -rf '"))
    return -1;
  for (const char *c = path; *c; ++c) {
    char one[2] = {*c, '\0'};
    if (!put(*c == '\'' ? "'\\''" : one))
      return -1;
  }
  return put("' > /dev/null") ? 0 : -1;
}

// Removes a symbolic link left at L by an earlier run. Only a link is ever removed, so no data
// can go. Returns -1 when something else stands at L or the link stays.
static int remove_stale_link(const char *l) {
  struct stat st;
  if (lstat(l, &st) < 0)
    return 0;
  if (!S_ISLNK(st.st_mode))
    return refuse_existing(l);
  char cmd[256];
  if (format_removal(cmd, sizeof cmd, l) < 0)
    return too_long("removal command for the link", l, sizeof cmd - 1);
  fflush(nullptr);
  if (system(cmd) != 0 || lstat(l, &st) == 0) {
    fprintf(stderr, "%s: %s: could not remove the old link\n", settings.program_name, l);
    return -1;
  }
  return 0;
}

// Tries to make the directory S below `candidate` and the link L to it. Returns 0 when the link
// stands, 1 to go on with the next candidate, -1 to refuse.
static int attempt(const SpacePaths &p, char *candidate) {
  if (p.s[0] != '/' && strlen(candidate) + 1 < kLinkPathSize)
    strcat(candidate, "/");
  if (strlen(candidate) + strlen(p.s) >= 256)
    return too_long("candidate directory", candidate, 255);
  strcat(candidate, p.s);
  if (access(candidate, F_OK) == 0) {
    fprintf(stderr, "%s: already exists.\n", candidate);
    return 1;
  }
  if (!link_confirmed(candidate))
    return 1;
  if (remove_stale_link(p.l) < 0)
    return -1;
  if (make_dir_path(candidate, 0755) < 0) {
    perror(candidate);
    return 1;
  }
  if (symlink(candidate, p.l) < 0) {
    perror(candidate);
    rmdir(candidate);
    return 1;
  }
  return 0;
}

// The next mounted filesystem with room that is not read-only, copied into `candidate`.
static bool next_candidate(int required_mb, char *candidate) {
  while (MountEntry *e = mnttab_next()) {
    if (check_mb(e->mount_point, required_mb) == 1 && !e->read_only) {
      fprintf(stderr, "Trying %s ...\n", e->mount_point);
      copy_text(candidate, kLinkPathSize, e->mount_point);
      return true;
    }
  }
  return false;
}

int verify_extract_space(int required_mb, char *link_path) {
  link_path[0] = '\0';
  SpacePaths p;
  p.required_mb = required_mb;
  if (prepare_paths(&p) < 0)
    return -1;
  if (access(p.t, F_OK) == 0)
    return refuse_existing(p.t);
  char *candidate = link_path; // the caller's buffer holds each candidate in turn
  bool have_candidate = false;
  // A temporary path that cannot be queried counts as having room, and so does D.
  if (settings.temp_path[0] && check_mb(settings.temp_path, required_mb) != 0) {
    if (copy_text(candidate, kLinkPathSize, settings.temp_path) < 0)
      return too_long("temporary path", settings.temp_path, kLinkPathSize - 1);
    drop_trailing_slash(candidate);
    have_candidate = true;
  } else {
    if (check_mb(p.d, required_mb) != 0)
      return 0;
    if (settings.temp_path[0])
      return refuse_no_space(p);
    fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n", p.t);
  }
  mnttab_close(); // the scan starts at the first entry
  for (;;) {
    if (!have_candidate && !next_candidate(required_mb, candidate))
      return refuse_no_space(p);
    have_candidate = false;
    int result = attempt(p, candidate);
    if (result == 0) {
      strcpy(link_path, p.l);
      return 0;
    }
    if (result < 0)
      return -1;
  }
}

int make_dir_path(const char *path, mode_t mode) {
  if (path[0] != '/')
    return -1;
  if (access(path, X_OK) == 0)
    return 0;
  char prefix[256];
  size_t len = strlen(path);
  if (len >= sizeof prefix)
    return -1;
  for (size_t i = 1; i <= len; ++i) {
    if (path[i] != '/' && path[i] != '\0')
      continue;
    memcpy(prefix, path, i);
    prefix[i] = '\0';
    if (access(prefix, X_OK) != 0) {
      if (mkdir(prefix, mode) < 0)
        return -1;
      chmod(prefix, mode); // exactly this mode, whatever the umask
    }
  }
  return 0;
}

} // namespace vardo

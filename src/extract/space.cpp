#include "extract/space.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/feature.h"
#include "extract/temporary.h"
#include "lib/dirpath.h"
#include "lib/fsinfo.h"
#include "lib/mnttab.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// The longest candidate directory, with its NUL.
constexpr size_t kCandidateSize = 256;

// The paths of one verification, and once a candidate is tried, the directory that holds the link,
// open, and the link's name in it.
struct SpacePaths {
  char verify_dir[kVerifyDirLimit +
                  1];     // the "VFYFS=" value: the directory whose filesystem must have room
  char sub_dir[256];      // the "FSSUB=" value: what the extraction makes below it
  char absolute_dir[512]; // verify_dir made absolute
  char target_dir[512];   // base/sub_dir, the base being the temporary path or absolute_dir
  char link_at[512];      // verify_dir/sub_dir, where the temporary link stands
  char temp_dir[kTextBufferSize]; // the temporary path, less a trailing "/"; empty without -t
  int required_mb;
  bool ask; // -v: each link is confirmed at the terminal
  int link_dir = -1;
  char link_name[256];
  char *relocated; // the caller's: where the link leads, once it stands
};

// How an attempt at a candidate ends: the link stands, the next candidate is tried, or the
// extraction is refused (after a message).
enum class Attempt { linked, next, refused };

static int too_long(const char *what, const char *text, size_t limit) {
  fprintf(stderr, "%s: %s longer than %zu characters: %s\n", process.program_name, what, limit,
          visible(text, stderr));
  return -1;
}

// Joins a, "/" and b into `out` of `size` bytes; -1 after a message when it does not fit.
static int join_path(char *out, size_t size, const char *a, const char *b) {
  if (format_text(out, size, "%s/%s", a, b) < 0) {
    fprintf(stderr, "%s: path longer than %zu characters: %s/%s\n", process.program_name, size - 1,
            visible(a, stderr), visible(b, stderr));
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

// Reads verify_dir and sub_dir from the feature string and forms the other paths. Returns -1 to
// refuse; values shorter than two characters refuse without a message.
static int prepare_paths(SpacePaths *p, const ArchiveHeader &h, const char *temp_path) {
  copy_text(p->temp_dir, temp_path); // an option argument always fits
  const char *item = feature_get(h, "VFYFS=");
  if (!item)
    return -1;
  if (copy_text(p->verify_dir, feature_value(item)) < 0)
    return too_long("VFYFS value", feature_value(item), sizeof p->verify_dir - 1);
  memset(p->sub_dir, 0, sizeof p->sub_dir);
  if ((item = feature_get(h, "FSSUB=")))
    copy_text(p->sub_dir, feature_value(item)); // a lookup result always fits
  if (!p->verify_dir[0] || !p->verify_dir[1] || !p->sub_dir[0] || !p->sub_dir[1])
    return -1;
  // Both go into the messages and the question below as they are: a control character there
  // could rewrite what the terminal shows. The refusal shows them escaped wherever it goes, since
  // a log read later on a terminal is no safer.
  for (const char *value : {p->verify_dir, p->sub_dir}) {
    if (holds_controls(value)) {
      fprintf(stderr, "%s: a VFYFS or FSSUB value holds control characters: %s\n",
              process.program_name, escape_controls(value));
      return -1;
    }
  }
  if (p->verify_dir[0] == '/') {
    if (copy_text(p->absolute_dir, p->verify_dir) < 0)
      return -1;
  } else {
    char cwd[512];
    if (!getcwd(cwd, 511)) {
      if (errno == ERANGE)
        fprintf(stderr,
                "%s: the path of the current directory is longer than %d characters, too long "
                "for the space check\n",
                process.program_name, 510);
      else
        report_errno("getcwd");
      return -1;
    }
    if (join_path(p->absolute_dir, sizeof p->absolute_dir, cwd, p->verify_dir) < 0)
      return -1;
  }
  char *base = p->temp_dir[0] ? p->temp_dir : p->absolute_dir;
  drop_trailing_slash(base);
  if (join_path(p->target_dir, sizeof p->target_dir, base, p->sub_dir) < 0 ||
      join_path(p->link_at, sizeof p->link_at, p->verify_dir, p->sub_dir) < 0)
    return -1;
  return 0;
}

static int refuse_existing(const char *path) {
  fprintf(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n",
          visible(path, stderr));
  return -1;
}

static int refuse_no_space(const SpacePaths &p) {
  fprintf(stderr, "%s: not enough space to extract the archive.\n", visible(p.target_dir, stderr));
  fprintf(stderr, "Please make at least %dMb available in %s.\n", p.required_mb,
          visible(p.verify_dir, stderr));
  fprintf(stderr,
          "Alternatively, you can make space available on another filesystem where a\n\"%s\" "
          "directory can be created. Ensure that the \"%s\" directory\ndoes not exist before "
          "trying again.\n",
          visible(p.sub_dir, stderr), visible(p.sub_dir, stderr));
  return -1;
}

// Asks, in verbose mode, before a link to `candidate` is made. End of input declines.
static bool link_confirmed(const SpacePaths &p, const char *candidate) {
  if (!p.ask)
    return true;
  fprintf(stderr, "Creating temporary link to %s\n", visible(candidate, stderr));
  fprintf(stderr, "OK to create temporary link? [y]: ");
  char answer[4];
  if (!read_answer(answer, sizeof answer))
    return false;
  return answer[0] != 'n' && answer[0] != 'N';
}

// Splits `path` into its directory and its last name (trailing slashes belong to neither). The
// directory of "/x" is "/", that of "x" is ".".
static void split_path(const char *path, char (&dir)[kLinkPathSize], char (&name)[256]) {
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/')
    --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/')
    --start;
  snprintf(name, sizeof name, "%.*s", static_cast<int>(end - start), path + start);
  size_t dir_end = start;
  while (dir_end > 1 && path[dir_end - 1] == '/')
    --dir_end;
  if (dir_end == 0)
    snprintf(dir, sizeof dir, "%s", start > 0 ? "/" : ".");
  else
    snprintf(dir, sizeof dir, "%.*s", static_cast<int>(dir_end), path);
}

// Opens the directory that holds link_at, once per verification. The old link is examined, removed
// and replaced through this one descriptor, so a directory swapped on link_at's path meanwhile
// cannot turn the removal onto another directory.
// It is reached as candidates are, without following a link and through directories no other
// user may change: otherwise a link planted on V's path would carry the removal into another
// directory, and a directory another user may change would let them replace root's link.
static int open_link_dir(SpacePaths *p) {
  if (p->link_dir >= 0)
    return 0;
  char dir[kLinkPathSize];
  split_path(p->link_at, dir, p->link_name);
  p->link_dir = open_dir_path(dir);
  return p->link_dir < 0 ? -1 : 0;
}

// Removes a symbolic link left at link_at by an earlier run of this user. Only such a link is ever
// removed, without a shell and without recursion. Returns -1 when something else stands at
// link_at (another user's link too) or the link stays.
static int remove_stale_link(const SpacePaths &p) {
  struct stat st;
  if (fstatat(p.link_dir, p.link_name, &st, AT_SYMLINK_NOFOLLOW) < 0)
    return 0;
  if (!S_ISLNK(st.st_mode) || st.st_uid != geteuid())
    return refuse_existing(p.link_at);
  if (unlinkat(p.link_dir, p.link_name, 0) < 0) {
    fprintf(stderr, "%s: %s: could not remove the old link\n", process.program_name,
            visible(p.link_at, stderr));
    return -1;
  }
  return 0;
}

// Locks the directory `dir` that holds the link for this run, until the run ends (the lock goes
// with the descriptor): exclusively for a run that makes the link, shared for one that unpacks in
// place. Another live run holds it while its link stands, which must not be taken for one left by
// a run that died, or while it unpacks below V/S, where no link may appear meanwhile. Returns -1
// after a message when the lock is held or cannot be had.
static int lock_link_dir(const SpacePaths &p, int dir, int how) {
  if (flock(dir, how | LOCK_NB) == 0)
    return 0;
  if (errno == EWOULDBLOCK)
    fprintf(stderr, "%s: another extraction is using this link; try again when it has finished.\n",
            visible(p.link_at, stderr));
  else
    report_errno(p.link_at);
  return -1;
}

// After the link is made, link_at must lead to the new directory `made`: a directory on its path
// swapped meanwhile would send the extraction elsewhere.
static bool link_leads_to(const char *l, int made) {
  struct stat via, st;
  return stat(l, &via) == 0 && fstat(made, &st) == 0 && via.st_dev == st.st_dev &&
         via.st_ino == st.st_ino;
}

// Makes the last directory of the candidate, `name` in `parent_fd`, with exactly 0755 and no ACL:
// it must not exist yet. Returns a descriptor of it, or -1 after a message.
static int make_last_dir(int parent_fd, const char *name, const char *candidate) {
  int fd = make_own_dir(parent_fd, name, 0755);
  if (fd < 0 && errno == EEXIST)
    fprintf(stderr, "%s: already exists.\n", visible(candidate, stderr));
  else if (fd < 0)
    report_errno(candidate);
  return fd;
}

// Makes link_at point to the candidate directory `made`.
static Attempt link_candidate(SpacePaths *p, int made, const char *candidate) {
  if (make_temporary_link(p->link_dir, p->link_name, candidate) < 0) {
    report_errno(candidate);
    return Attempt::next;
  }
  p->link_dir = -1; // the temporary link holds it now
  if (link_leads_to(p->link_at, made)) {
    copy_text(p->relocated, kLinkPathSize, candidate);
    return Attempt::linked;
  }
  fprintf(stderr, "%s: a directory on the path of the link was replaced; not used.\n",
          visible(p->link_at, stderr));
  remove_temporary_link();
  return Attempt::refused;
}

// Creates the candidate directory, its last directory new, and the link to it.
static Attempt create_relocation(SpacePaths *p, const char *candidate) {
  char parent[kLinkPathSize], name[256];
  split_path(candidate, parent, name);
  int parent_fd = make_dir_path(parent, 0755);
  if (parent_fd < 0)
    return Attempt::next;
  int made = make_last_dir(parent_fd, name, candidate);
  Attempt result = Attempt::next;
  if (made >= 0) {
    result = link_candidate(p, made, candidate);
    if (result != Attempt::linked)
      unlinkat(parent_fd, name, AT_REMOVEDIR); // the new directory, only while it is empty
    close(made);
  }
  close(parent_fd);
  return result;
}

// Tries to make the directory sub_dir below `base` (a "/" between them unless sub_dir begins with
// one) and the link to it.
static Attempt attempt(SpacePaths *p, const char *base) {
  const char *separator = p->sub_dir[0] == '/' ? "" : "/";
  char candidate[kCandidateSize];
  if (format_text(candidate, sizeof candidate, "%s%s%s", base, separator, p->sub_dir) < 0) {
    fprintf(stderr, "%s: candidate directory longer than %zu characters: %s%s\n",
            process.program_name, sizeof candidate - 1, visible(base, stderr), separator);
    return Attempt::refused;
  }
  if (access(candidate, F_OK) == 0) {
    fprintf(stderr, "%s: already exists.\n", visible(candidate, stderr));
    return Attempt::next;
  }
  if (open_link_dir(p) < 0)
    return Attempt::refused;
  if (!link_confirmed(*p, candidate))
    return Attempt::next;
  if (lock_link_dir(*p, p->link_dir, LOCK_EX) < 0 || remove_stale_link(*p) < 0)
    return Attempt::refused;
  return create_relocation(p, candidate);
}

// The next mounted filesystem with room that is not read-only, copied into `candidate`.
static bool next_candidate(int required_mb, char *candidate) {
  while (MountEntry *e = mnttab_next()) {
    if (check_mb(e->mount_point, required_mb) == 1 && !e->read_only) {
      fprintf(stderr, "Trying %s ...\n", visible(e->mount_point, stderr));
      copy_text(candidate, kLinkPathSize, e->mount_point);
      return true;
    }
  }
  return false;
}

// Tries the temporary path (when `try_temp`) and then the mounted filesystems until a link stands.
// Returns 0 when it stands, or -1 to refuse.
static int relocate(SpacePaths *p, bool try_temp) {
  char candidate[kLinkPathSize]; // each candidate in turn
  if (try_temp) {
    if (copy_text(candidate, p->temp_dir) < 0)
      return too_long("temporary path", p->temp_dir, kLinkPathSize - 1);
    drop_trailing_slash(candidate);
  }
  mnttab_close(); // the scan starts at the first entry
  for (;;) {
    if (!try_temp && !next_candidate(p->required_mb, candidate))
      return refuse_no_space(*p);
    try_temp = false;
    Attempt result = attempt(p, candidate);
    if (result != Attempt::next)
      return result == Attempt::linked ? 0 : -1;
  }
}

// Makes, below the directory `fd` that other users may write into, each directory of `rest` (a
// relative path whose last name is S) exclusively, with exactly 0755 and no ACL, so that nobody
// else can have made one first or may change what the extract command makes in them. Returns a
// descriptor of the directory that holds the last, or -1 after a message (an existing one: the
// extraction directory exists).
static int claim_path(const SpacePaths &p, int fd, const char *rest) {
  for (const char *at = rest;;) {
    at += strspn(at, "/");
    size_t len = strcspn(at, "/");
    char name[256];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(len), at);
    bool last = at[len + strspn(at + len, "/")] == '\0';
    int next = make_own_dir(fd, name, 0755);
    if (next < 0) {
      if (errno == EEXIST)
        refuse_existing(p.link_at);
      else
        report_errno(p.link_at);
      close(fd);
      return -1;
    }
    if (last) {
      close(next);
      return fd;
    }
    close(fd);
    fd = next;
    at += len;
  }
}

// Unpacking in place, below V/S: the extract command makes the directory itself, by its path, so
// that path must be one no other user can lead elsewhere. It is walked as candidates are, without
// following a link and through directories no other user may change. Where the deepest directory
// on it that exists is one where other users may make entries (a shared directory, sticky or
// not), the tool makes the rest of the path down to V/S itself first, each directory new, so that
// no other user's entry can stand on it. The directory that holds V/S is locked for sharing until
// the run ends, so that no other run makes its link there meanwhile, and nothing may stand at V/S
// (a directory was refused already; a link, dead or another user's, would take the extraction
// elsewhere). Returns 0, or -1 after a message.
static int stay_in_place(const SpacePaths &p) {
  char path[512], dir[kLinkPathSize], name[256];
  if (join_path(path, sizeof path, p.absolute_dir, p.sub_dir) < 0)
    return -1;
  split_path(path, dir, name);
  size_t reached;
  int fd = open_existing_dir_path(dir, &reached);
  if (fd < 0)
    return -1;
  bool whole = dir[reached] == '\0' || strcmp(dir + reached, "/") == 0;
  struct stat st;
  // A default ACL would give another user what the extract command makes there: the tool makes
  // S itself, with its own mode.
  bool shared = fstat(fd, &st) == 0 &&
                ((st.st_mode & (S_IWGRP | S_IWOTH)) || others_may_make_entries(fd, st));
  // The missing directories, then S; after it, fd holds V/S.
  if (shared && (fd = claim_path(p, fd, path + reached)) < 0)
    return -1;
  if (!shared && !whole) { // the extract command makes the rest, where no other user may
    close(fd);
    return 0;
  }
  int result = lock_link_dir(p, fd, LOCK_SH);
  if (result == 0 && !shared && fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
    result = refuse_existing(p.link_at);
  if (result < 0) {
    close(fd);
    return -1;
  }
  hold_link_directory(fd);
  return 0;
}

int verify_extract_space(const ArchiveHeader &h, const ExtractOptions &options, int required_mb,
                         char (&relocated)[kLinkPathSize], char (&work_dir)[kLinkPathSize]) {
  SpacePaths p;
  relocated[0] = work_dir[0] = '\0';
  p.relocated = relocated;
  p.required_mb = required_mb;
  p.ask = options.verbose;
  if (prepare_paths(&p, h, options.temp_path) < 0)
    return -1;
  if (access(p.target_dir, F_OK) == 0)
    return refuse_existing(p.target_dir);
  // A temporary path that cannot be queried counts as having room, and so does absolute_dir.
  bool try_temp = p.temp_dir[0] && check_mb(p.temp_dir, required_mb) != 0;
  if (!try_temp) {
    if (check_mb(p.absolute_dir, required_mb) != 0) {
      join_path(work_dir, sizeof work_dir, p.absolute_dir, p.sub_dir);
      return stay_in_place(p);
    }
    if (p.temp_dir[0])
      return refuse_no_space(p);
    fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n",
            visible(p.target_dir, stderr));
  }
  int result = relocate(&p, try_temp);
  if (p.link_dir >= 0)
    close(p.link_dir);
  copy_text(work_dir, relocated);
  return result;
}

} // namespace vardo

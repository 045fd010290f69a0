#include "extract/place.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "extract/interrupt.h"
#include "extract/temporary.h"
#include "lib/dirpath.h"
#include "lib/entries.h"
#include "lib/process.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

// The directories this run works in, and what it made of them.
struct Placement {
  char target[kTextBufferSize] = {};    // the target entered, absolute; empty when none
  bool target_made = false;             // ... and this run made it (or a parent of it)
  char temporary[kTextBufferSize] = {}; // the temporary directory entered; empty when none
  bool keep = false;                    // ... which stays when the run ends
  bool instead_of_here = false; // ... made in the current directory: it stays when the run succeeds
  char relocated[kTextBufferSize] = {}; // where a relocation unpacks; empty when none
  char space_dir[kTextBufferSize] = {}; // the directory an archive's space check names (V/S)
};

static Placement placement;

// `dir` made absolute into `out` against the current directory. Returns 0, or -1 after a message.
static int absolute(char (&out)[kTextBufferSize], const char *dir) {
  char cwd[kTextBufferSize];
  if (dir[0] == '/' ? copy_text(out, dir) == 0
                    : getcwd(cwd, sizeof cwd) && format_text(out, sizeof out, "%s/%s",
                                                             strcmp(cwd, "/") ? cwd : "", dir) == 0)
    return 0;
  fprintf(stderr, "%s: %s: the path is longer than %d characters\n", process.program_name,
          visible(dir, stderr), kTextBufferSize - 1);
  return -1;
}

static bool any_entry(const char *, void *) { return false; }

// Whether the directory open on `fd` holds nothing.
static bool is_empty(int fd) { return read_entries(fd, any_entry, nullptr) == 0; }

// Records the directory `path` up to `len` (the first this run made) as a temporary entry of
// kind `which`, to be removed with all it holds when the run fails. Returns 0, or -1 after a
// message.
static int stand_made(Temporary which, const char *path, size_t len) {
  char made[kTextBufferSize], parent[kTextBufferSize];
  snprintf(made, sizeof made, "%.*s", static_cast<int>(len), path);
  const char *slash = strrchr(made, '/');
  snprintf(parent, sizeof parent, "%.*s", static_cast<int>(slash == made ? 1 : slash - made), made);
  int dir = open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC); // one the user may not list too
  struct stat st;
  if (dir < 0 || fstatat(dir, slash + 1, &st, AT_SYMLINK_NOFOLLOW) < 0) {
    report_errno(made);
    if (dir >= 0)
      close(dir);
    return -1;
  }
  sigset_t old = hold_ending_signals();
  temporary_stand(which, dir, slash + 1, st, made);
  release_ending_signals(old);
  return 0;
}

static bool ours_up_to_root(bool entries, const char *dir = ".");
static void refuse_shared(const char *dir, const char *instead);

int enter_target(const char *dir) {
  Placement &p = placement;
  if (absolute(p.target, dir) < 0)
    return -1;
  size_t made;
  sigset_t old = hold_ending_signals(); // what is made is recorded before a signal can end the run
  int fd = make_target_path(p.target, 0755, &made);
  int result = fd < 0 ? -1 : made ? stand_made(Temporary::target, p.target, made) : 0;
  release_ending_signals(old);
  struct stat st;
  if (result == 0 && !made && (fstat(fd, &st) < 0 || st.st_uid != geteuid() || !is_empty(fd))) {
    fprintf(stderr, "%s: %s: the target must be an empty directory of yours\n",
            process.program_name, visible(p.target, stderr));
    result = -1;
  }
  if (result == 0 && fchdir(fd) < 0) {
    report_errno(p.target);
    result = -1;
  }
  // A link of the user's on the way may lead through a directory another user may change.
  if (result == 0 && !ours_up_to_root(true)) {
    refuse_shared(nullptr, "choose a target directory of yours");
    result = -1;
  }
  if (fd >= 0)
    close(fd);
  p.target_made = made > 0;
  if (result < 0 && !made)
    p.target[0] = '\0'; // nothing went there: no line names it at the end
  return result;
}

// Opens `name` of `dir` to look at it: for reading where the user may, so that its ACL can be
// read, else for its path alone (which needs only search permission).
static int open_to_check(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd >= 0 ? fd : openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Whether the directory `dir` (the current one) and every directory above it, up to the root, are
// ones only we may change: otherwise another user could replace what is written there, or rename
// a directory on its path and put theirs in its place. With `entries`, no other user may make an
// entry in `dir` either (a sticky one lets them make the names the payload is written to
// first), nor does a default ACL share what is made there.
static bool ours_up_to_root(bool entries, const char *dir) {
  int fd = open_to_check(AT_FDCWD, dir);
  struct stat st, up;
  bool safe = fd >= 0 && !(entries && (fstat(fd, &st) < 0 || others_may_make_entries(fd, st))),
       root = false;
  for (int depth = 0; safe && !root && depth < 256; ++depth) {
    int parent = open_to_check(fd, "..");
    safe =
        parent >= 0 && fstat(fd, &st) == 0 && fstat(parent, &up) == 0 && !others_may_change(fd, st);
    root = safe && st.st_dev == up.st_dev && st.st_ino == up.st_ino;
    close(fd);
    fd = parent;
  }
  if (fd >= 0)
    close(fd);
  return safe && root;
}

// Says why the directory or entry `dir` is refused, with what to do instead.
static void refuse(const char *dir, const char *why, const char *instead) {
  fprintf(stderr, "%s: %s: %s; %s\n", process.program_name, visible(dir, stderr), why, instead);
}

// Says that another user may change the directory `dir` (null: the current one), with what to do
// instead.
static void refuse_shared(const char *dir, const char *instead) {
  char cwd[kTextBufferSize];
  if (!dir)
    dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  refuse(dir, "another user may change what this directory holds, or the directories above it",
         instead);
}

int check_own_group() {
  gid_t shared;
  if (!root_with_shared_group(&shared))
    return 0;
  fprintf(stderr,
          "%s: running as root with group %u, which other users share, the commands would make "
          "what they may change; run with a group of your own\n",
          process.program_name, static_cast<unsigned>(shared));
  return -1;
}

int check_current_directory() {
  if (ours_up_to_root(true))
    return 0;
  // In a directory others may make entries in but not change (sticky, as /tmp is), the payload
  // goes into a private directory made there, which stays and is named when the run succeeds (and
  // goes, as a temporary directory does, when it fails).
  if (ours_up_to_root(false)) {
    placement.instead_of_here = true;
    return enter_temporary(".", true);
  }
  refuse_shared(nullptr, "unpack with -d DIR or -T");
  return -1;
}

constexpr int kWalkDirs = 256;

// A directory, by its filesystem and inode.
struct DirId {
  dev_t dev;
  ino_t ino;
};

// The walk of what the extract command made, before the run command uses it.
struct UnpackedWalk {
  char path[kTextBufferSize]; // the entry it is at, from the current directory
  timespec since; // the status of what the command made or changed changed at this time or later
  timespec here;  // ... in the current directory, by its filesystem's clock
  timespec space; // ... in the directory an archive's space check names, by its own
  dev_t marked;   // the filesystem whose clock `since` was read by
  const char *instead;     // what the message says happens instead
  DirId linked[kWalkDirs]; // the directory the walk began in, then those links led it to
  int linked_count;
  DirId shared[kWalkDirs]; // the directories another user could change before the command ran
  int shared_count;        // ... more than kWalkDirs: the walk cannot tell
  DirId noted[kWalkDirs];  // the directories that note began in, and those links led it to
  int noted_count;
  int pinned[2 * kWalkDirs]; // descriptors of the shared and linked ones noted, held to the walk
  int pinned_count;
  bool unnoted; // the walk is where the note did not go
};
static UnpackedWalk walk;

// Whether the directory `st` is among the `count` of `ids`.
static bool listed_in(const DirId *ids, int count, const struct stat &st) {
  for (int i = 0; i < count && i < kWalkDirs; ++i)
    if (ids[i].dev == st.st_dev && ids[i].ino == st.st_ino)
      return true;
  return false;
}

// Why an entry the extract command made is refused.
static const char kUnpackedShared[] = "another user may change this, as it was unpacked";

static bool ours_below(int fd, int depth, bool shared);

// The directory of the walk, how deep it is, and whether another user may change a directory on
// the way to it (one that was there before).
struct Below {
  int dir;
  dev_t dev; // its filesystem
  int depth;
  bool shared;
};

// Whether the extract command made or changed the entry `st`: its status changed at the mark or
// later, which only the kernel sets.
static bool made_by_command(const struct stat &st) {
  return st.st_ctim.tv_sec > walk.since.tv_sec ||
         (st.st_ctim.tv_sec == walk.since.tv_sec && st.st_ctim.tv_nsec >= walk.since.tv_nsec);
}

// Opens the entry `name` of `dir` to look at it, without following a link and without opening a
// device (its driver would act); a file, a directory or a FIFO (which does not wait for a writer
// then) is opened for reading where the user may, so that its ACL can be read without /proc. *st is
// its status. Returns -1 when it cannot be looked at.
static int open_entry(int dir, const char *name, struct stat *st) {
  int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && fstat(fd, st) < 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0 || !(S_ISREG(st->st_mode) || S_ISDIR(st->st_mode) || S_ISFIFO(st->st_mode)))
    return fd;
  int readable = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat again;
  if (readable >= 0 && fstat(readable, &again) == 0 && again.st_ino == st->st_ino &&
      again.st_dev == st->st_dev) {
    close(fd);
    return readable;
  }
  if (readable >= 0)
    close(readable);
  return fd;
}

// Whether another user may change the entry `st`, open on `fd`, or share what is made in it. A
// sticky directory others may write into counts, as they may add entries the run command takes
// up; a device must be ours and our group's, but all may use it where the archive says so.
static bool others_may_change_entry(int fd, struct stat st) {
  st.st_mode &= S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? ~S_IWOTH : ~S_ISVTX;
  return others_may_change(fd, st) || (S_ISDIR(st.st_mode) && others_share_what_is_made(fd, st));
}

// Whether the directory `fd` is one of the `count` of `ids` or below one of them, looked for 64
// levels up at most. With the directories a walk began in and links led it to: one it reads
// anyway (a link within the tree, as a package manager's store makes).
static bool below_one_of(int fd, const DirId *ids, int count) {
  int at = openat(fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st, up = {};
  bool found = false;
  for (int depth = 0; !found && depth < 64 && at >= 0 && fstat(at, &st) == 0; ++depth) {
    if (st.st_dev == up.st_dev && st.st_ino == up.st_ino)
      break; // "/": its ".." is itself
    found = listed_in(ids, count, st);
    up = st;
    int parent = openat(at, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(at);
    at = parent;
  }
  if (at >= 0)
    close(at);
  return found;
}

// Whether no other user may change what the extract command wrote through the link `name` of the
// directory being walked (tar writes through a link to a directory that was there; whether it was
// cannot be told, as anyone may set a link's times, and so its status time): no other user may
// change where it leads (open_link_target), and the directory it leads to is walked as one that
// was there, unless the walk reads it anyway. On another filesystem, whose clock may not be the
// mark's, everything in it counts as made. Where the note did not go (a link the command made), a
// directory the command changed is refused: it may have been another user's. A link that leads to
// no directory the user may reach had nothing written below it.
static bool ours_through(const Below *below, const char *name) {
  int fd = open_link_target(below->dir, name);
  if (fd < 0 && errno == EPERM) {
    refuse_shared(walk.path, walk.instead);
    return false;
  }
  if (fd < 0 && errno != ENAMETOOLONG)
    return true; // it leads to no directory
  struct stat st;
  bool seen = fd >= 0 && fstat(fd, &st) == 0;
  bool all = seen && below_one_of(fd, walk.linked, walk.linked_count);
  if (seen && !all && walk.linked_count < kWalkDirs) {
    walk.linked[walk.linked_count++] = {st.st_dev, st.st_ino};
    timespec since = walk.since;
    bool unnoted = walk.unnoted;
    if (st.st_dev != walk.marked)
      walk.since = {};
    walk.unnoted = !below_one_of(fd, walk.noted, walk.noted_count);
    // Below a directory noted as another user's, it is theirs too (the walk may not pass there),
    // and the command may have taken it from them.
    bool now = others_may_change_entry(fd, st);
    bool noted = below_one_of(fd, walk.shared, walk.shared_count), taken = !now && noted;
    bool refused = made_by_command(st) && (walk.unnoted || taken);
    all = !refused && ours_below(fd, below->depth + 1, now || noted);
    if (refused)
      refuse(walk.path, walk.unnoted ? "could not be checked" : kUnpackedShared, walk.instead);
    walk.since = since;
    walk.unnoted = unnoted;
  } else if (!all) {
    refuse(walk.path, "could not be checked", walk.instead);
  }
  if (fd >= 0)
    close(fd);
  return all;
}

// Whether no other user may change the entry `name` of the directory being walked, if the
// extract command made or changed it, nor anything below it; a message names the first that
// fails. What the command made must be ours, and so must every directory on the way to it, as
// the commands reach it through them; so every directory is walked, as what the command makes
// deep down does not change the status of the directories above. Below a directory another user
// may change, a symbolic link is refused too: they may have planted it for the commands to write
// and run through. Elsewhere a link is ours, as its owner cannot change where it leads, and so
// must be what the command may have written through it (ours_through). The walk does not
// enter another filesystem mounted there: a clock of its own, and what the system shows in /proc,
// would tell it nothing.
static bool ours_listed(const char *name, void *context) {
  auto *below = static_cast<Below *>(context);
  size_t len = strlen(walk.path);
  format_text(walk.path + len, sizeof walk.path - len, "/%s", name);
  struct stat st;
  int fd = open_entry(below->dir, name, &st);
  bool seen = fd >= 0, made = seen && made_by_command(st), shared = false;
  bool dir = seen && S_ISDIR(st.st_mode), link = seen && S_ISLNK(st.st_mode);
  // A directory of root's the user may not search (lost+found, /etc/ssl/private) holds nothing a
  // user's commands reached, whatever it is (looking "." up in it needs search permission).
  struct stat again;
  bool closed = dir && geteuid() != 0 && st.st_uid == 0 && fstatat(fd, ".", &again, 0) < 0;
  bool mounted = dir && !closed && st.st_dev != below->dev;
  // Nor may a directory share what the run command makes in it (tar --acls restores a default
  // ACL).
  // So may they one they could change before the extract command ran (note_shared).
  if (seen && (made || dir) && !link && !closed)
    shared = others_may_change_entry(fd, st) || listed_in(walk.shared, walk.shared_count, st);
  // Through a directory of another user's that was there.
  bool reached = below->shared && (made || link) && !closed;
  // Where the note did not go (a link the command made leads there), what a directory the
  // command changed held before cannot be told.
  bool unknown = dir && made && walk.unnoted && !closed;
  if (mounted)
    refuse(walk.path, "another filesystem is mounted here", walk.instead);
  else if (unknown)
    refuse(walk.path, "could not be checked", walk.instead);
  else if (!seen || (made && shared && !reached))
    refuse(walk.path, kUnpackedShared, walk.instead);
  else if (reached)
    refuse_shared(walk.path, walk.instead);
  bool ours = seen && !mounted && !unknown && !reached && !(made && shared);
  bool all = ours && (dir    ? closed || ours_below(fd, below->depth + 1, below->shared || shared)
                      : link ? ours_through(below, name)
                             : true);
  if (fd >= 0)
    close(fd);
  walk.path[len] = '\0';
  return all;
}

// Whether no other user may change anything the extract command made below the directory `fd`
// (a tar run as root gives each entry the owner, group and mode the archive recorded), walked by
// descriptors without following links, at most 64 levels deep. Returns false after a message.
static bool ours_below(int fd, int depth, bool shared) {
  Below below{openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0, depth, shared};
  int result = -1;
  struct stat st;
  if (below.dir >= 0 && depth < 64 && fstat(below.dir, &st) == 0) {
    below.dev = st.st_dev;
    result = read_entries(below.dir, ours_listed, &below);
  }
  // Where another user may change the directory, an entry moved out while it was read, and back,
  // went unseen: that changed its status.
  if (result == 0 && shared && (fstat(below.dir, &st) < 0 || made_by_command(st))) {
    refuse_shared(walk.path, walk.instead);
    result = 1;
  }
  if (result < 0)
    refuse(walk.path, "could not be checked", walk.instead);
  if (below.dir >= 0)
    close(below.dir);
  return result == 0;
}

// Whether no other user may change what the extract command made or changed in the directory
// `dir`, named from there in the message, where what it made changed status at `since` or later.
// Opens the directory `dir` a walk begins in, the first one it reads.
static int begin_walk(const char *dir) {
  int fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  bool seen = fd >= 0 && fstat(fd, &st) == 0;
  walk.marked = seen ? st.st_dev : 0;
  walk.linked[0] = {walk.marked, seen ? st.st_ino : 0};
  walk.linked_count = 1;
  return fd;
}

static bool ours_unpacked(const char *dir, timespec since) {
  copy_text(walk.path, dir);
  walk.since = since;
  int fd = begin_walk(dir);
  bool ours = walk.shared_count <= kWalkDirs && ours_below(fd, 0, false);
  if (walk.shared_count > kWalkDirs)
    refuse(walk.path, "could not be checked", walk.instead);
  if (fd >= 0)
    close(fd);
  return ours;
}

static bool note_shared(int fd, int depth);

// Notes the entry `name` of the directory being read, and what is below it, for note_shared.
static bool note_listed(const char *name, void *context) {
  auto *below = static_cast<Below *>(context);
  struct stat st;
  if (fstatat(below->dir, name, &st, AT_SYMLINK_NOFOLLOW) < 0 ||
      !(S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
    return true;
  bool link = S_ISLNK(st.st_mode);
  int fd = link ? open_link_target(below->dir, name) : open_entry(below->dir, name, &st);
  if (link) {
    bool follow = fd >= 0 && fstat(fd, &st) == 0 &&
                  !below_one_of(fd, walk.linked, walk.linked_count) &&
                  walk.linked_count < kWalkDirs; // else read anyway, or refused after
    if (follow)
      walk.linked[walk.linked_count++] = {st.st_dev, st.st_ino};
    else if (fd >= 0)
      close(std::exchange(fd, -1));
  }
  // Below such a directory the walk after takes everything as theirs anyway.
  bool pin = false;
  if (fd >= 0 && S_ISDIR(st.st_mode) && (link || st.st_dev == below->dev)) {
    // One it could not read whole (too deep, or unreadable) may hold anything: theirs too.
    bool shared = others_may_change_entry(fd, st) || !note_shared(fd, below->depth + 1);
    if (shared && walk.shared_count++ < kWalkDirs)
      walk.shared[walk.shared_count - 1] = {st.st_dev, st.st_ino};
    // Held open, its inode keeps the number noted (overlayfs may give another once it has left
    // the cache).
    pin = (shared || link) && walk.pinned_count < 2 * kWalkDirs;
    if (pin)
      walk.pinned[walk.pinned_count++] = fd;
  }
  if (fd >= 0 && !pin)
    close(fd);
  if (fd < 0 && !link)
    walk.shared_count = kWalkDirs + 1; // a directory it could not look at: the walk cannot tell
  return true;
}

// Notes, before the extract command runs, the directories below `fd` (and where the links there
// lead) that another user may change: the command may give one of them the owner and mode an
// archive recorded (tar does), which would hide what they put or renamed there, so the walk after
// it takes them as theirs still. It reads as that walk does, and refuses nothing. Returns whether
// it read the directory whole.
static bool note_shared(int fd, int depth) {
  Below below{openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0, depth, false};
  struct stat st;
  int result = -1;
  if (below.dir >= 0 && depth < 64 && fstat(below.dir, &st) == 0) {
    below.dev = st.st_dev;
    result = read_entries(below.dir, note_listed, &below);
  }
  if (below.dir >= 0)
    close(below.dir);
  return result == 0;
}

// Notes the directories another user may change below the directory `dir`.
static void note_shared_below(const char *dir) {
  int fd = begin_walk(dir);
  if (fd >= 0) {
    note_shared(fd, 0);
    close(fd);
  }
  for (int i = 0; i < walk.linked_count && walk.noted_count < kWalkDirs; ++i)
    walk.noted[walk.noted_count++] = walk.linked[i];
}

// The time by the clock of the filesystem of the directory `dir`, read from the status a change
// that changes nothing gives it; zero, so that everything counts as made, where it cannot be had.
static timespec mark(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  bool marked = fd >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(-1)) == 0 &&
                fstat(fd, &st) == 0;
  if (fd >= 0)
    close(fd);
  return marked ? st.st_ctim : timespec{};
}

void mark_before_extraction() {
  walk.here = mark(".");
  // The space check's directory may be on another filesystem; where it is still to be made, the
  // nearest directory above it that is there gives the mark.
  char dir[kTextBufferSize];
  copy_text(dir, placement.space_dir);
  for (char *slash; !(walk.space = mark(dir)).tv_sec && (slash = strrchr(dir, '/')) && dir[1];)
    slash[slash == dir] = '\0';
  walk.shared_count = walk.noted_count = 0;
  note_shared_below(".");
  if (placement.space_dir[0])
    note_shared_below(dir);
}

static int check_unpacked(const char *instead);

int check_placement_after_extraction(const char *instead) {
  int checked = check_unpacked(instead);
  while (walk.pinned_count)
    close(walk.pinned[--walk.pinned_count]);
  return checked;
}

static int check_unpacked(const char *instead) {
  // An extract command (tar with an entry "./") may have given the directory another mode or
  // owner: the run command would use what another user could then have changed. So for the
  // directory of the archive's space check, where its commands work; the run command looks its
  // name up again, so it must not be a link, and where it is gone, no other user may make it.
  // A trailing "/" would have a link at the last name followed, and a "." or ".." name leads
  // through the one before it: such a path is refused.
  char space[kTextBufferSize];
  copy_text(space, placement.space_dir);
  size_t len = strlen(space);
  while (len > 1 && space[len - 1] == '/')
    space[--len] = '\0';
  bool dots = false;
  for (const char *p = space; *p; p += strcspn(p, "/")) {
    p += strspn(p, "/");
    size_t n = strcspn(p, "/");
    dots = dots || (n && n <= 2 && strspn(p, ".") == n);
  }
  struct stat st;
  char *slash = strrchr(space, '/');
  if (len && !dots && lstat(space, &st) < 0 && slash)
    slash[slash == space] = '\0'; // gone: the directory that held it
  walk.instead = instead;
  if (len && (dots || !ours_up_to_root(true, space))) {
    refuse_shared(placement.space_dir, instead);
    return -1;
  }
  if (len && !ours_unpacked(space, walk.space))
    return -1;
  if (placement.temporary[0])
    return 0;
  if (!ours_up_to_root(true)) {
    refuse_shared(nullptr, instead);
    return -1;
  }
  return ours_unpacked(".", walk.here) ? 0 : -1;
}

int enter_temporary(const char *base, bool keep) {
  Placement &p = placement;
  p.keep = keep;
  if (!base) {
    base = getenv("TMPDIR");
    if (!base || !*base)
      base = "/tmp";
  }
  // The temporary directory is made from inside its parent, which no other user may change (or
  // they could rename it away and put theirs in its place), and named by the path getcwd gives
  // there, which holds no link.
  if (chdir(base) < 0) {
    report_errno(base);
    return -1;
  }
  if (!ours_up_to_root(false)) {
    refuse_shared(nullptr, "set TMPDIR to a directory of yours");
    return -1;
  }
  char dir[kTextBufferSize];
  if (!getcwd(dir, sizeof dir) ||
      format_text(p.temporary, sizeof p.temporary, "%s/vardo.XXXXXX", dir) < 0) {
    fprintf(stderr, "%s: %s: the path is too long for a temporary directory\n",
            process.program_name, visible(base, stderr));
    return -1;
  }
  sigset_t old = hold_ending_signals();
  int result = mkdtemp(p.temporary) ? 0 : -1;
  if (result < 0)
    report_errno(dir);
  else
    result = stand_made(Temporary::directory, p.temporary, strlen(p.temporary));
  release_ending_signals(old);
  // The commands work one level down, so that the private directory stays private whatever they
  // do to theirs: a tar run as root gives "./" the owner and mode the archive recorded. Neither
  // keeps the group or a default ACL of the directory they were made in.
  size_t len = strlen(p.temporary);
  int fd = result == 0 ? open(p.temporary, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  int payload = fd >= 0 && make_own(fd) == 0 ? make_own_dir(fd, "payload", 0700) : -1;
  if (result == 0 && (payload < 0 || fchdir(payload) < 0 ||
                      format_text(p.temporary + len, sizeof p.temporary - len, "/payload") < 0)) {
    report_errno(p.temporary);
    result = -1;
  }
  if (fd >= 0)
    close(fd);
  if (payload >= 0)
    close(payload);
  return result;
}

const char *placement_path() {
  if (placement.temporary[0])
    return placement.temporary;
  return placement.target[0] ? placement.target : nullptr;
}

// Names where the payload went.
static void say_where(const char *dir, const char *kept) {
  fprintf(stderr, "%s: the payload is in %s%s\n", process.program_name, visible(dir, stderr), kept);
}

void placement_relocated(const char *dir, const char *space_dir) {
  copy_text(placement.relocated, dir);
  copy_text(placement.space_dir, space_dir);
}

int leave_placement(bool succeeded) {
  Placement &p = placement;
  int result = 0;
  bool kept = p.temporary[0] && p.keep && (succeeded || !p.instead_of_here);
  if (kept) {
    temporary_forget(Temporary::directory);
    say_where(p.temporary, " (kept)");
  } else if (p.temporary[0]) {
    result = temporary_remove(Temporary::directory);
  }
  // A target the run made goes when the run failed, or when it held only a temporary directory
  // that went.
  if (p.target[0] && p.target_made && (!succeeded || (p.temporary[0] && !kept))) {
    result |= temporary_remove(Temporary::target);
  } else if (p.target[0]) {
    temporary_forget(Temporary::target);
    if (!p.temporary[0])
      say_where(p.target, "");
  }
  if (p.relocated[0])
    say_where(p.relocated, "");
  placement = Placement{};
  return result;
}

} // namespace vardo

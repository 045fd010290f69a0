#include "extract/output.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extract/interrupt.h"
#include "extract/temporary.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// The default extraction while it runs: the current directory, opened once so that the checks,
// the temporary file and the rename all happen in the same directory whatever is renamed on the
// way to it, and the temporary file there.
struct DefaultOutput {
  int dir_fd = -1;
  int fd = -1;
  char temp_name[32] = {};
};

static DefaultOutput default_output;

int check_default_output_name(const char *name) {
  if (!name[0]) {
    fprintf(stderr, "%s: the stored name is empty\n", process.program_name);
    return -1;
  }
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strchr(name, '/')) {
    fprintf(stderr, "%s: %s: the stored name is not a plain file name\n", process.program_name,
            visible(name, stderr));
    return -1;
  }
  return 0;
}

// Reports the failed system call `err` for the output name `name`. Returns -1.
static int report(const char *name, int err) {
  fprintf(stderr, "%s: %s: %s\n", process.program_name, visible(name, stderr), strerror(err));
  return -1;
}

// What stands at the output name: nothing, or a regular file of ours that the new file replaces
// and whose modes it takes. A symbolic link, a FIFO or another user's file in a shared
// directory is refused: the payload must not be written where another user chose. A file of ours
// without write permission is refused too, as ">" would refuse it. Returns 1 when a file stands
// (`st` then describes it), 0 when none does, -1 after a message.
static int examine_target(const char *name, struct stat *st) {
  if (fstatat(default_output.dir_fd, name, st, AT_SYMLINK_NOFOLLOW) < 0)
    return errno == ENOENT ? 0 : report(name, errno);
  const char *refusal = S_ISLNK(st->st_mode)      ? "a symbolic link is in the way"
                        : !S_ISREG(st->st_mode)   ? "not a regular file"
                        : st->st_uid != geteuid() ? "the file belongs to another user"
                                                  : nullptr;
  if (refusal) {
    fprintf(stderr, "%s: %s: %s\n", process.program_name, visible(name, stderr), refusal);
    return -1;
  }
  if (geteuid() != 0 && !(st->st_mode & S_IWUSR))
    return report(name, EACCES);
  return 1;
}

// A name no other user can foresee: ".vardo-" and twelve letters and digits from 64 random bits
// (from the clock where the system has no random source; the exclusive creation protects
// either way).
static void name_temporary_file() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    bits = (static_cast<uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15u) ^
           static_cast<uint64_t>(ts.tv_sec) ^ static_cast<uint64_t>(getpid()) << 32;
  }
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char *name = default_output.temp_name;
  memcpy(name, ".vardo-", 7);
  for (int i = 7; i < 19; ++i, bits /= 36)
    name[i] = kDigits[bits % 36];
  name[19] = '\0';
}

// Creates the temporary file, new, with mode 0666 less the umask; a name that is taken (by a
// file someone planted, or by the output name itself) is passed over for another. The ending
// signals are held until the file is recorded, so that none leaves it behind. Returns the
// descriptor, or -1 with errno set.
static int create_temporary_file(const char *name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    name_temporary_file();
    if (strcmp(default_output.temp_name, name) == 0)
      continue;
    sigset_t old = hold_ending_signals();
    int fd = openat(default_output.dir_fd, default_output.temp_name,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0)
      temporary_stand(Temporary::file, default_output.dir_fd, default_output.temp_name, st);
    else if (fd >= 0) {
      unlinkat(default_output.dir_fd, default_output.temp_name, 0);
      close(fd);
      fd = -1;
    }
    int err = errno;
    release_ending_signals(old);
    if (fd >= 0 || err != EEXIST) {
      errno = err;
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// Gives the new file the permission bits of the file it replaces, as writing through ">" keeps
// them, and its group where this user may. Where the group cannot be kept, the group the file
// has now gets no more than a new file gives it. The set-user-ID and set-group-ID bits are not
// carried over onto the new content. Returns 0, or -1 with errno set.
static int carry_over_modes(int fd, const struct stat &old) {
  struct stat made;
  if (fstat(fd, &made) < 0)
    return -1;
  mode_t mode = old.st_mode & 0777;
  if (made.st_gid != old.st_gid && fchown(fd, static_cast<uid_t>(-1), old.st_gid) < 0)
    mode &= ~S_IRWXG | made.st_mode;
  return fchmod(fd, mode);
}

// Closes what the default extraction holds open.
static void close_default_output() {
  if (default_output.fd >= 0)
    close(default_output.fd);
  if (default_output.dir_fd >= 0)
    close(default_output.dir_fd);
  default_output = DefaultOutput{};
}

int open_default_output(const char *name) {
  default_output.dir_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (default_output.dir_fd < 0)
    return report(name, errno);
  struct stat target;
  int standing = examine_target(name, &target);
  if (standing >= 0) {
    default_output.fd = create_temporary_file(name);
    if (default_output.fd < 0 || (standing == 1 && carry_over_modes(default_output.fd, target) < 0))
      standing = report(name, errno);
  }
  if (standing < 0) {
    discard_default_output();
    return -1;
  }
  return default_output.fd;
}

// Renames the temporary file onto the output name, with the ending signals held so that the
// handler never removes what has become the output. A temporary file that is no longer the one
// made (replaced in a directory that others may write into) is not renamed. Returns 0, or -1
// after a message.
static int rename_onto_target(const char *name) {
  sigset_t old = hold_ending_signals();
  int result = -1, err = 0;
  if (!temporary_is_ours(Temporary::file)) {
    fprintf(stderr, "%s: %s: the temporary file was replaced; not used\n", process.program_name,
            visible(name, stderr));
  } else if (renameat(default_output.dir_fd, default_output.temp_name, default_output.dir_fd,
                      name) == 0) {
    temporary_forget(Temporary::file);
    result = 0;
  } else {
    err = errno;
  }
  release_ending_signals(old);
  return err ? report(name, err) : result;
}

int finish_default_output(const char *name) {
  // A write error that a filesystem reports only when the file is closed is a failed write.
  int closed = close(default_output.fd);
  default_output.fd = -1;
  int result = closed < 0 ? report(name, errno) : rename_onto_target(name);
  discard_default_output();
  return result;
}

void discard_default_output() {
  temporary_remove(Temporary::file);
  close_default_output();
}

} // namespace vardo

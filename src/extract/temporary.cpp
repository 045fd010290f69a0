#include "extract/temporary.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vardo {

// One entry while it stands: the directory that holds it, its name there, its type and its
// identity. The signal handler reads it, so it lives in fixed storage and is complete before it
// is marked standing.
struct TemporaryEntry {
  int dir_fd = -1;
  char name[256] = {};
  mode_t type = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  volatile sig_atomic_t standing = 0;
};

// The entries, the descriptor the payload is written into, and the dispositions of the ending
// signals from before they were caught.
struct TemporaryEntries {
  TemporaryEntry entry[2]; // by Temporary
  volatile sig_atomic_t output = -1;
  bool caught = false;
  bool removal_at_exit = false;
  struct sigaction saved[3] = {};
};

static TemporaryEntries temporaries;

static TemporaryEntry &entry_of(Temporary which) {
  return temporaries.entry[static_cast<int>(which)];
}

// The signals that end a run from outside: the entries are removed before they take effect.
static const int kEndSignals[3] = {SIGHUP, SIGINT, SIGTERM};

static sigset_t end_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndSignals)
    sigaddset(&set, sig);
  return set;
}

sigset_t hold_end_signals() {
  sigset_t block = end_signals(), old;
  sigprocmask(SIG_BLOCK, &block, &old);
  return old;
}

void release_end_signals(const sigset_t &old) { sigprocmask(SIG_SETMASK, &old, nullptr); }

// Whether the entry's name still holds the entry made. Only async-signal-safe calls: it runs in
// the signal handler too.
static bool still_made(const TemporaryEntry &e) {
  struct stat st;
  return e.standing && fstatat(e.dir_fd, e.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         (st.st_mode & S_IFMT) == e.type && st.st_dev == e.dev && st.st_ino == e.ino;
}

static void unlink_entry(const TemporaryEntry &e) {
  if (still_made(e))
    unlinkat(e.dir_fd, e.name, 0);
}

static bool any_standing() {
  return temporaries.entry[0].standing || temporaries.entry[1].standing;
}

// Removes the entries, then lets the signal end the process as it would have: the default action
// is restored and the signal raised again; it is delivered when this handler returns. The
// extract command or the run command may still be running and resolve the relocation's link:
// once its name is free, another user could take it and have root's command write or run their
// files. So the extract command is given the end of its input, and every command of this run is
// waited for before the entries go.
static void on_end_signal(int sig) {
  if (any_standing()) {
    if (temporaries.output > STDERR_FILENO)
      close(temporaries.output); // the extract command's pipe, or the temporary file
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    for (const TemporaryEntry &e : temporaries.entry)
      unlink_entry(e);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

// Catches the ending signals, except those the process was started with ignored: whoever ignored
// them did not want them to end the run.
static void catch_end_signals() {
  if (temporaries.caught)
    return;
  struct sigaction sa = {};
  sa.sa_handler = on_end_signal;
  sa.sa_mask = end_signals();
  for (int i = 0; i < 3; ++i) {
    sigaction(kEndSignals[i], nullptr, &temporaries.saved[i]);
    if (temporaries.saved[i].sa_handler != SIG_IGN)
      sigaction(kEndSignals[i], &sa, nullptr);
  }
  temporaries.caught = true;
}

// Gives the ending signals back their dispositions once no entry stands.
static void restore_end_signals() {
  if (!temporaries.caught || any_standing())
    return;
  for (int i = 0; i < 3; ++i)
    sigaction(kEndSignals[i], &temporaries.saved[i], nullptr);
  temporaries.caught = false;
}

static void remove_all_at_exit() {
  temporary_remove(Temporary::link);
  temporary_remove(Temporary::file);
}

void temporary_stand(Temporary which, int dir, const char *name, const struct stat &made) {
  TemporaryEntry &e = entry_of(which);
  e.dir_fd = dir;
  snprintf(e.name, sizeof e.name, "%s", name);
  e.type = made.st_mode & S_IFMT;
  e.dev = made.st_dev;
  e.ino = made.st_ino;
  e.standing = 1;
  catch_end_signals();
  if (!temporaries.removal_at_exit) {
    temporaries.removal_at_exit = true;
    atexit(remove_all_at_exit);
  }
}

void temporary_output(int fd) { temporaries.output = fd; }

bool temporary_is_ours(Temporary which) { return still_made(entry_of(which)); }

void temporary_forget(Temporary which) {
  entry_of(which).standing = 0;
  restore_end_signals();
}

// The directory that holds the temporary link while it stands.
static int temporary_link_dir = -1;

int make_temporary_link(int dir, const char *name, const char *target) {
  sigset_t old = hold_end_signals();
  struct stat st;
  int result = symlinkat(target, dir, name);
  if (result == 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    temporary_stand(Temporary::link, dir, name, st);
    temporary_link_dir = dir;
  } else if (result == 0) {
    unlinkat(dir, name, 0); // just made, but it cannot be told from another: not kept
    result = -1;
  }
  int err = errno;
  release_end_signals(old);
  errno = err;
  return result;
}

void remove_temporary_link() {
  if (temporary_link_dir < 0)
    return;
  temporary_remove(Temporary::link);
  close(temporary_link_dir);
  temporary_link_dir = -1;
}

void temporary_remove(Temporary which) {
  TemporaryEntry &e = entry_of(which);
  if (!e.standing)
    return;
  sigset_t old = hold_end_signals();
  unlink_entry(e);
  temporary_forget(which);
  release_end_signals(old);
}

} // namespace vardo

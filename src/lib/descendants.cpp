#include "lib/descendants.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "lib/entries.h"
#include "lib/text.h"

namespace vardo {

// The processes of this group, as read from /proc: pid and parent. Static, since a signal handler
// fills it; a group of more than this many processes has the rest left out.
struct GroupTable {
  static constexpr int kMax = 1024;
  pid_t pid[kMax];
  pid_t parent[kMax];
  bool descends[kMax];
  int count;
};

static GroupTable table;

// The number at the start of `s`, or -1.
static long leading_number(const char *s) {
  uint64_t n;
  return read_decimal(s, &n) && n <= INT32_MAX ? static_cast<long>(n) : -1;
}

// Reads the parent and the process group of `pid` from /proc/PID/stat: "pid (comm) state ppid
// pgrp ...", where comm may hold blanks and parentheses, so the fields are counted from the last
// ")". Returns false when the process is gone or the line is not as expected.
static bool read_stat(const char *pid, pid_t *parent, pid_t *group) {
  char path[64];
  format_text(path, sizeof path, "/proc/%.40s/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char line[512];
  ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  if (n <= 0)
    return false;
  line[n] = '\0';
  const char *p = strrchr(line, ')');
  if (!p || strlen(p) < 5) // ") S " and a digit at least
    return false;
  p += 4; // past ") S "
  long ppid = leading_number(p);
  p = strchr(p, ' ');
  long pgrp = p ? leading_number(p + 1) : -1;
  if (ppid < 0 || pgrp < 0)
    return false;
  *parent = static_cast<pid_t>(ppid);
  *group = static_cast<pid_t>(pgrp);
  return true;
}

// What the reading of /proc compares each process with.
struct GroupReading {
  pid_t self, group, child;
};

// Adds the process named `name` to the table when it belongs to this group and is not this one.
static bool add_process(const char *name, void *context) {
  auto *r = static_cast<GroupReading *>(context);
  long pid = leading_number(name);
  pid_t parent, its_group;
  if (pid <= 0 || pid == r->self || table.count == GroupTable::kMax ||
      !read_stat(name, &parent, &its_group) || its_group != r->group)
    return true;
  table.pid[table.count] = static_cast<pid_t>(pid);
  table.parent[table.count] = parent;
  table.descends[table.count] = pid == r->child;
  ++table.count;
  return true;
}

// Fills the table with the processes of this group other than this one. Returns false where
// /proc cannot be read.
static bool read_group(pid_t child) {
  int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return false;
  table.count = 0;
  GroupReading r{getpid(), getpgrp(), child};
  int result = read_entries(dir, add_process, &r);
  close(dir);
  return result == 0;
}

void signal_descendants(int sig, int child) {
  if (!read_group(child)) {
    kill(child, sig);
    kill(child, SIGCONT);
    return;
  }
  // A process descends from this one when its parent does: mark until nothing changes.
  for (bool more = true; more;) {
    more = false;
    for (int i = 0; i < table.count; ++i) {
      if (table.descends[i])
        continue;
      for (int j = 0; j < table.count; ++j) {
        if (table.descends[j] && table.pid[j] == table.parent[i]) {
          table.descends[i] = more = true;
          break;
        }
      }
    }
  }
  // A stopped process gets the signal only once it runs again, as a shell does for a job it
  // kills.
  for (int i = 0; i < table.count; ++i) {
    if (table.descends[i]) {
      kill(table.pid[i], sig);
      kill(table.pid[i], SIGCONT);
    }
  }
}

} // namespace vardo

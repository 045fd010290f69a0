#include "lib/groups.h"

#include <cstring>

#include "lib/byte_reader.h"
#include "lib/text.h"

namespace vardo {

namespace {

constexpr size_t kLineSize = 4096;
constexpr size_t kNameSize = 64;

// One line of a colon-separated file, cut into its fields in place.
struct Fields {
  char line[kLineSize];
  const char *field[7];
  int count;
};

// Reads the next line of `f` into `l`. Returns 1, 0 at the end, -1 for a line too long.
int next_line(ByteReader &f, Fields &l) {
  size_t len = 0;
  int c;
  while ((c = next_byte(f)) >= 0 && c != '\n') {
    if (len + 1 == sizeof l.line)
      return -1;
    l.line[len++] = static_cast<char>(c);
  }
  if (c < 0 && len == 0)
    return 0;
  l.line[len] = '\0'; // (a NUL inside the line ends it early, as it ends its last field)
  l.count = 0;
  if (l.line[0] == '#') { // a comment, which the C library passes over: a line of one field
    l.field[l.count++] = l.line;
    return 1;
  }
  for (char *p = l.line; l.count < 7; ++p) {
    l.field[l.count++] = p;
    if (!(p = strchr(p, ':')))
      break;
    *p = '\0';
  }
  return 1;
}

// The number in field `i`, or -1 when it is missing or not a number.
long long number(const Fields &l, int i) {
  uint64_t n;
  const char *end = i < l.count ? read_decimal(l.field[i], &n) : nullptr;
  return end && !*end && n <= UINT32_MAX ? static_cast<long long>(n) : -1;
}

// Whether the passwd line `l` is an account that runs nothing of its own, as those some systems
// give root's group: its shell runs one command (sync, shutdown, halt), or it is one of the
// accounts the system itself comes with (below uid 100, which useradd never gives) whose shell is
// nologin or false. An account of a user, a service or an application (a container's default
// user often has group 0) may run processes whatever its shell.
bool runs_nothing(const Fields &l) {
  const char *shell = l.count > 6 ? l.field[6] : "";
  const char *slash = strrchr(shell, '/');
  const char *base = slash ? slash + 1 : shell;
  return is_listed(base, strlen(base), "sync shutdown halt") ||
         (number(l, 2) < 100 && is_listed(base, strlen(base), "nologin false"));
}

// Whether every one of the comma-separated `members` is one of the `allowed` names.
bool only_members(const char *members, const char (&allowed)[3][kNameSize]) {
  for (const char *p = members; *p;) {
    size_t len = strcspn(p, ",");
    bool known = false;
    for (const char *name : allowed)
      known = known || (*name && strlen(name) == len && strncmp(p, name, len) == 0);
    if (!known)
      return false;
    p += len + (p[len] == ',');
  }
  return true;
}

// Whether a group file's password field lets nobody in with newgrp: empty, locked ("!", "*"), or
// in the group file, "x" (the password is the shadow file's).
bool no_password(const char *field, bool group_file) {
  return !*field || strchr("!*", *field) || (group_file && strcmp(field, "x") == 0);
}

// Whether the shadow group file, where it can be read (by root), gives the group `name` to nobody
// else: no password (which lets whoever knows it in with newgrp), no other administrator, no
// other member. A file that cannot be read is one the user cannot see, as a directory service.
bool shadow_private(const char *name, const char (&allowed)[3][kNameSize], const char *path) {
  static Fields l;
  ByteReader f;
  bool opened = open_bytes(f, path), private_group = true;
  int got = 0;
  while (opened && private_group && (got = next_line(f, l)) > 0)
    if (strcmp(l.field[0], name) == 0)
      private_group = l.count == 4 && no_password(l.field[1], false) &&
                      only_members(l.field[2], allowed) && only_members(l.field[3], allowed);
  close_bytes(f);
  return private_group && got >= 0;
}

} // namespace

bool group_private_to(gid_t gid, uid_t uid, const char *passwd_path, const char *group_path,
                      const char *gshadow_path) {
  static Fields l;                       // 4 KiB: not on the stack
  char allowed[3][kNameSize] = {"root"}; // root, the first account of uid 0, the user
  bool root_group = gid == 0, root_named = false;
  ByteReader f;
  bool opened = open_bytes(f, passwd_path), private_group = opened || root_group;
  int got = 0;
  while (opened && private_group && (got = next_line(f, l)) > 0) {
    long long user = number(l, 2);
    if ((user == 0 && !root_named) || (user == uid && user != 0))
      copy_text(allowed[user == 0 ? 1 : 2], l.field[0]);
    root_named = root_named || user == 0;
    if (user != 0 && user != uid && l.count > 1 &&
        (user < 0 || number(l, 3) < 0 || (number(l, 3) == gid && !(root_group && runs_nothing(l)))))
      private_group = false; // another user's primary group, or ids not plain numbers
  }
  private_group = private_group && got == 0;
  close_bytes(f);
  // Every line of the gid (groupadd -o makes more than one) is named after root or the user, names
  // no other member and holds no password (newgrp reads it there when the shadow file has no line).
  // An id that is not plain digits may be any (the C library reads "+1000" and " 1000" as 1000).
  bool listed = false;
  opened = private_group && open_bytes(f, group_path);
  while (opened && private_group && (got = next_line(f, l)) > 0) {
    long long id = number(l, 2);
    if (id != gid && (id >= 0 || l.count == 1))
      continue;
    listed = true;
    private_group = id >= 0 && l.count == 4 && no_password(l.field[1], true) &&
                    only_members(l.field[3], allowed) && only_members(l.field[0], allowed) &&
                    shadow_private(l.field[0], allowed, gshadow_path);
  }
  private_group = private_group && (listed || root_group) && got == 0;
  close_bytes(f);
  return private_group;
}

} // namespace vardo

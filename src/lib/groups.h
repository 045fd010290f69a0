// Who else a group gives its rights to, from the system's user and group files.
#pragma once
#include <sys/types.h>

namespace vardo {

// Whether the group `gid` is private to root and the user `uid`: it bears the name of one of them
// (as a user private group does: a group such as "users" is meant to be shared, whoever the files
// list), no other user has it as primary group in `passwd_path`, and its member list in
// `group_path` names no other user, nor does `gshadow_path` where it can be read (root only),
// which must also show no group password. False when a file cannot be read, a line is too long to
// read whole, or the group is not listed there (users from a directory service cannot be seen: a
// group whose members are unknown is not private). Root's group (0) is root's own unless the
// files give it to another account that may run processes: the system accounts some systems give
// it as primary group (sync, halt, operator: below uid 100 with a shell that is nologin or one
// command) do not count, and a root without the files (a bare container) has no other user.
bool group_private_to(gid_t gid, uid_t uid, const char *passwd_path = "/etc/passwd",
                      const char *group_path = "/etc/group",
                      const char *gshadow_path = "/etc/gshadow");

} // namespace vardo

// Free-space verification before extraction, and relocation of the extraction directory onto
// another filesystem through a temporary symbolic link.
#pragma once
#include <sys/types.h>

namespace vardo {

constexpr int kLinkPathSize = 512;

// Checks that the filesystem of the archive's "VFYFS=" directory has `required_mb` megabytes
// free. Returns 0 to go on: `link_path` (512 bytes) is then empty, or names the temporary link
// that the caller removes with remove_temporary_link when it is done. Returns -1, after its
// messages, to refuse.
int verify_extract_space(int required_mb, char *link_path);

// Removes the temporary link made by verify_extract_space, if one stands and it is still the
// link that was made; nothing else is ever removed. It is also removed on every exit, the abort
// path included, and when SIGHUP, SIGINT or SIGTERM ends the process.
void remove_temporary_link();

// Opens the absolute directory `path`, creating each missing directory with exactly `mode`. The
// path is walked from "/" one directory at a time without following any symbolic link, and every
// directory on it must be one that no other user may change (owned by root or this user, and not
// writable by group or others unless sticky). Returns a descriptor of the directory, or -1 after
// a message naming the directory that failed.
int make_dir_path(const char *path, mode_t mode);

} // namespace vardo

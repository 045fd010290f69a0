// Directories reached safely where other users may be at work: an absolute path is walked from
// "/" one directory at a time without following any symbolic link, and every directory on it
// must be one that no other user may change (others_may_change). A link planted on the path
// cannot carry the caller elsewhere, and no other user can replace what the caller makes there.
#pragma once
#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

namespace vardo {

// Whether a user other than root and this one (the user who ran sudo, for root) may change what
// the directory `st`, open on `fd`, holds: when one of them owns it, or may write into it without
// the sticky bit (which lets only an entry's owner remove or rename it): others at large, a group
// that is not private to this user (lib/groups.h), or an entry of an ACL that gives another user
// or such a group write. An ACL that cannot be read is taken to give it.
bool others_may_change(int fd, const struct stat &st);

// Whether such a user may make entries in the directory, or have what is made there shared:
// others_may_change, or a sticky directory others may write into (they cannot touch this user's
// entries there, but may make the names the user is about to write first), a default ACL that
// gives what is made there write for another user, or a group that is neither private to this
// user nor this process's own. Such a group gets write when a command gives the directory the
// mode an archive recorded (tar run as root does, for an entry "./"), and it is the one what is
// made there takes where the directory is setgid or its filesystem is mounted with grpid.
bool others_may_make_entries(int fd, const struct stat &st);

// Whether what is made in the directory `st`, open on `fd`, is shared with another user as it is
// made: a default ACL gives another user or a group not private to this one write, or the
// directory is setgid with such a group (tar run as root gives files the modes an archive
// recorded, group write included). A directory's group alone reaches nothing made there.
bool others_share_what_is_made(int fd, const struct stat &st);

// Opens the directory the symbolic link `name` of `dir` leads to, looking
// every name on the way up by hand (at most 40 links): where another user could have changed
// what one of them leads to, they could have led a command that wrote through the link elsewhere,
// and could lead what follows elsewhere now. Returns the descriptor, or -1 with errno: EPERM when
// another user may change a directory a name is looked up in (in a sticky one others may write
// into, a name that is missing or not root's or this user's), ENAMETOOLONG when the names do not
// fit, else the error of the lookup that failed (the link leads to no directory).
int open_link_target(int dir, const char *name);

// Whether this process runs as root with a group, effective or real, that is not private to the
// user (lib/groups.h); it is put in *shared. Everything its commands make takes that group (a
// shell takes the real one), and tar run as root gives it the modes an archive recorded, group
// write included, wherever it unpacks.
bool root_with_shared_group(gid_t *shared);

// Gives the directory `fd`, just made, this process's group and no ACL, so that what is made in
// it later inherits neither the group of a setgid parent nor a default ACL of the parent's that
// shares it with another user. Returns 0, or -1 with errno.
int make_own(int fd);

// Makes the directory `name` in `parent`, new, with exactly `mode`, as make_own leaves it. It is
// made 0700 first (an inherited ACL's mask is then empty) and given `mode` after. Returns a
// descriptor of it, or -1 with errno (EEXIST: the name was taken).
int make_own_dir(int parent, const char *name, mode_t mode);

// The longest path a message names while walking, with its NUL.
constexpr int kDirPathSize = 512;

// Opens the absolute directory `path`, creating each missing directory with exactly `mode`, as
// make_own leaves it.
// Returns a descriptor of the directory, or -1 after a message naming the directory that failed.
int make_dir_path(const char *path, mode_t mode);

// Opens the absolute directory `path` as make_dir_path does, creating nothing.
int open_dir_path(const char *path);

// Opens the deepest directory of the absolute `path` that exists, walked as open_dir_path walks:
// `path` itself, or the one that holds its first missing directory. *reached is the length of
// `path` that names it. Returns the descriptor, or -1 after a message.
int open_existing_dir_path(const char *path, size_t *reached);

// Opens the absolute directory `path` that the user named as the place to work in, as
// make_dir_path does, but a symbolic link that belongs to root or this user is followed (the
// walk has checked that no other user may change the directory that holds it), and missing
// directories are made with `mode` less the umask, as make_own leaves them. *made is the length of
// `path` naming the first directory this call made, 0 when it made none.
int make_target_path(const char *path, mode_t mode, size_t *made);

} // namespace vardo

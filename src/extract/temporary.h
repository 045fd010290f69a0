// Entries of the file system that an extraction makes for its own use and removes again: the
// relocation's temporary link and the default extraction's temporary file. Each is removed when
// its maker is done with it, on every exit, the abort path included, and when SIGHUP, SIGINT or
// SIGTERM ends the process; only the entry that was made is ever removed, nothing else.
#pragma once
#include <csignal>
#include <sys/stat.h>

namespace vardo {

enum class Temporary { link, file };

// Holds off the ending signals while an entry is made, renamed or removed, so that the signal
// handler always finds the entries as they stand. Returns the mask to give back.
sigset_t hold_end_signals();
void release_end_signals(const sigset_t &old);

// With the ending signals held: records that the entry `which`, just made as `name` in the
// directory `dir` and known by the identity `made` (its fstat or lstat), stands, and catches the
// ending signals. The caller keeps `dir` open until the entry is gone.
void temporary_stand(Temporary which, int dir, const char *name, const struct stat &made);

// Names the descriptor the payload is written into (-1 for none): a signal closes it, so that
// the extract command sees the end of its input and can be waited for.
void temporary_output(int fd);

// True while the entry `which` stands and `name` in its directory still is the entry made.
bool temporary_is_ours(Temporary which);

// Removes the entry `which` if it still is the one made, and forgets it.
void temporary_remove(Temporary which);

// With the ending signals held: forgets the entry `which` without removing it (it was renamed
// onto the name it was made for).
void temporary_forget(Temporary which);

// Makes the symbolic link `name` in `dir` pointing to `target` as the temporary link, which from
// then on holds `dir` open. The ending signals are held off until the link is recorded, so no
// signal leaves it behind. Returns 0, or -1 with errno set when the link cannot be made.
int make_temporary_link(int dir, const char *name, const char *target);

// Removes the temporary link, if one stands and it is still the link that was made, and closes
// its directory; nothing else is ever removed.
void remove_temporary_link();

} // namespace vardo

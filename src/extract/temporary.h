// Entries of the file system that an extraction makes for its own use and removes again: the
// relocation's temporary link, the default extraction's temporary file, and the directories made
// to unpack into (a private temporary one, and a target that did not exist), with what they hold.
// Each is removed when its maker is done with it, on every exit, the abort path included, and
// when a signal ends the run (extract/interrupt.h); only the entry that was made is ever removed
// (a directory by lib/tree.h's rules), nothing else.
#pragma once
#include <sys/stat.h>

namespace vardo {

enum class Temporary { link, file, directory, target };

// With the ending signals held: records that the entry `which`, just made as `name` in the
// directory `dir` and known by the identity `made` (its fstat or lstat), stands; `shown` names it
// in messages. The caller keeps `dir` open until the entry is gone.
void temporary_stand(Temporary which, int dir, const char *name, const struct stat &made,
                     const char *shown = "");

// True while the entry `which` stands and `name` in its directory still is the entry made.
bool temporary_is_ours(Temporary which);

// Removes the entry `which` if it still is the one made, and forgets it. Returns -1 when a
// directory could not be removed whole (after the messages), else 0.
int temporary_remove(Temporary which);

// With the ending signals held: forgets the entry `which` without removing it (it was renamed
// onto the name it was made for).
void temporary_forget(Temporary which);

// Removes every entry that stands and still is the one made. Async-signal-safe: a signal handler
// calls it.
void temporary_remove_all();

// Makes the symbolic link `name` in `dir` pointing to `target` as the temporary link, which from
// then on holds `dir` open (and the lock the caller took on it). The ending signals are held off
// until the link is recorded, so no signal leaves it behind. Returns 0, or -1 with errno set when
// the link cannot be made.
int make_temporary_link(int dir, const char *name, const char *target);

// Keeps the directory `dir`, with the lock a run that unpacks in place took on it, until the run
// ends, as the temporary link keeps its own.
void hold_link_directory(int dir);

// Removes the temporary link, if one stands and it is still the link that was made, and closes
// its directory; nothing else is ever removed.
void remove_temporary_link();

} // namespace vardo

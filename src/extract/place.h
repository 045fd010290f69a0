// Where an extraction unpacks and runs its commands: the current directory, a target directory
// the user names (-d), or a private temporary directory (-T, or an archive's VARDO_TEMP item),
// which the run enters before anything is unpacked, so that %p names it. A directory the run made
// (the temporary one, or a target that did not exist) is removed, with everything in it, when the
// run fails or a signal ends it (extract/temporary.h); the temporary one also when the run
// succeeds, unless it is kept. The run ends by naming where the payload went, when that is not
// the current directory.
#pragma once

namespace vardo {

// Enters the target directory `dir`, made with its parents (0755 less the umask) where it is
// missing. One that exists must be an empty directory of this user's. A symbolic link on the way
// is followed only when root or this user made it, in a directory no other user may change.
// Returns 0, or -1 after a message.
int enter_target(const char *dir);

// Refuses, after a message, to run commands in the current directory when another user may change
// what it holds meanwhile, or rename it or a directory above it (lib/dirpath.h's
// others_may_change, up to the root). Another user could replace what the extract command wrote
// before the run command runs it, plant links for the extract command to write through, or move
// the directory that %p names. (The tool's own default extraction writes such a directory safely;
// it is what runs afterwards that cannot be.) Returns 0 or -1.
int check_current_directory();

// Before anything is made for commands: root must run them with a group of its own. Returns 0, or
// -1 after the message.
int check_own_group();

// Before the extract command: marks, by the clock of the current directory's filesystem (a change
// of its status that changes nothing), the second from which what is made or changed there is the
// extract command's work.
void mark_before_extraction();

// After the extract command, before the run command: the current directory (in place, a target
// or a relocation) must still be one no other user may change or make entries in, and so must
// what the extract command made or changed there, or the run fails with a message that ends with
// `instead`. Returns 0, or -1 after the message.
int check_placement_after_extraction(const char *instead);

// Makes a private directory (mkdtemp, 0700) below `base` (when null: $TMPDIR, else /tmp) and
// enters the directory "payload" made in it (0700), where the commands work; it is kept at the
// end when `keep`. `base` and the directories above it must be ones no other user may change, as
// for check_current_directory. Returns 0, or -1 after a message.
int enter_temporary(const char *base, bool keep);

// Records that a relocation unpacks into the directory `dir` (empty when none), and the directory
// the archive's space check names for its commands, `space_dir` (lib/space.h).
void placement_relocated(const char *dir, const char *space_dir);

// The directory entered, or null while the run works in the current directory.
const char *placement_path();

// Ends the run's placement after a run that `succeeded`: removes a temporary directory unless it
// is kept, and a target the run made when it failed; then names where the payload went when that
// is not the current directory. Runs on the abort path too. Returns -1 when a temporary directory
// could not be removed whole (after the messages), else 0.
int leave_placement(bool succeeded);

} // namespace vardo

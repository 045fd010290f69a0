// What a process inherits from whoever started it, and the tool does not take on trust.
#pragma once

namespace vardo {

// Opens /dev/null for reading on each of descriptors 0, 1 and 2 that is closed, so that no file
// the tool opens later lands on a standard descriptor (an archive opened on 0 or an extract
// command's pipe on 2 would mix messages into the payload), while writes to 1 and 2 still fail
// as they would have.
void claim_standard_descriptors();

// Puts SIGCHLD back to its default (ignored, the children's statuses are lost and a sound
// extract command looks failed) and unblocks every signal the parent had blocked.
void reset_inherited_signals();

// Raises the soft limit of the stack to 1 MiB where it is lower and the hard limit allows: the
// walks of the directories the commands made go 64 levels deep, a few KiB a level, and the main
// stack grows up to the limit in force when it grows.
void claim_stack();

} // namespace vardo

// The default extraction: an archive without an extract command of its own has its payload
// written by the tool itself, without a shell, into the current directory under the output name,
// whole or not at all. The payload goes into a new temporary file next to the name, which is
// renamed onto it only once every byte has been written and verified; on any failure, and when
// a signal ends the run, the temporary file is removed and the name keeps what it held.
#pragma once

namespace vardo {

// Refuses, after a message naming it, an output name that is not a plain file name of the
// current directory: one that is empty, "." or "..", or holds a "/". Returns 0 or -1.
int check_default_output_name(const char *name);

// Checks what stands at the output name `name`, refusing a symbolic link, anything but a regular
// file and another user's file, and creates the temporary file. Returns its descriptor, or -1
// after a message.
int open_default_output(const char *name);

// Renames the temporary file, now holding the whole verified payload, onto the output name
// `name`. Returns 0, or -1 after a message; the temporary file is then removed.
int finish_default_output(const char *name);

// Removes the temporary file: the output name keeps what it held before.
void discard_default_output();

} // namespace vardo

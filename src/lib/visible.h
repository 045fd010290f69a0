// Text from an archive shown on a terminal. A header string or a stored name can hold control
// characters (a carriage return, an escape sequence that hides or rewrites what is on the
// screen), so that what the user reads is not what will run. On a terminal they are shown in an
// escaped form; anywhere else the bytes pass unchanged, so that scripts read what they always
// read.
#pragma once
#include <cstdio>

namespace vardo {

// Returns a copy of `text` in which each byte below 0x20 other than tab, and 0x7F, is written as
// \n, \r or a three-digit octal escape such as \033, a backslash as \\, and so is each byte of a C1
// control or a direction mark written in UTF-8 and each byte that is not part of well-formed UTF-8;
// other UTF-8 characters pass where the locale in the environment says the terminal reads UTF-8,
// and are escaped byte by byte elsewhere. The copy lives in one of two static buffers used in turn,
// so two results can be printed together.
const char *escape_controls(const char *text);

// `text` itself when `out` is not a terminal and nothing vouches, else escape_controls(text).
const char *visible(const char *text, FILE *out);

// Makes visible escape every text from now on, wherever it goes: a run that verifies a signature
// vouches for what it shows, so that no text of the archive's may forge a line of its messages.
void escape_everywhere();

// Whether escape_controls would show anything of `text` escaped but a backslash: a control
// character, bytes that are not well-formed UTF-8, and where the terminal does not read UTF-8
// any byte above 0x7F (which such a terminal may take for a C1 control). A text that holds none
// can be printed in messages as it is.
bool holds_controls(const char *text);

// Prints `what`, ": " and the message for errno on standard error, as perror does (the message
// alone when `what` is empty), with `what` (a path, which may come from an archive or from a
// directory other users write into) escaped on a terminal. Leaves errno as it was.
void report_errno(const char *what);

} // namespace vardo

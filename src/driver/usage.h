#pragma once

namespace vardo {

// Prints the version line and the usage of the mode in force on standard error: an archive's
// shows its comment.
void print_usage(bool archive_mode, const char *comment);

} // namespace vardo

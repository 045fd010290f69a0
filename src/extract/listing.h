#pragma once

namespace vardo {

// Prints the header block and the statistics line of one archive; failures set the exit status.
void list_archive(const char *path);

} // namespace vardo

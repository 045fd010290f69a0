#pragma once

namespace vardo {

// Performs one complete extraction of the archive `path`. Returns 0 on success.
int extract_archive(const char *path);

} // namespace vardo

#pragma once

namespace vardo {

// The text after the last "/" of `path` (all of it when there is none), without changing it.
const char *basename_of(const char *path);

} // namespace vardo

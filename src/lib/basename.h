#pragma once

namespace vardo {

// Strips the directory part of `path` in place: the text after the last "/" moves to the
// front. A path ending in "/" becomes empty. Returns `path`.
char *basename(char *path);

// The text after the last "/" of `path` (all of it when there is none), without changing it.
const char *basename_of(const char *path);

} // namespace vardo

#pragma once

namespace vardo {

// Strips the directory part of `path` in place: the text after the last "/" moves to the
// front. A path ending in "/" becomes empty. Returns `path`.
char *basename(char *path);

} // namespace vardo

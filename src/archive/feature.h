// The feature string: comma-separated items, each a flag word ("NOCOMPR") or KEY=VALUE, carried
// in the first header string from build time to extraction time.
#pragma once
#include <cstddef>

#include "archive/header.h"

namespace vardo {

// The longest "VFYFS=" value the space check takes: a directory path of 127 characters.
constexpr size_t kVerifyDirLimit = 127;

// Appends an item, with a "," before it unless the string is empty. Returns 0, or -1 after a
// message, changing nothing, when the feature string would exceed 1023 characters.
int feature_add(ArchiveHeader &h, const char *item);

// Finds the first occurrence of `key` as a plain substring and returns the text from there up to
// the next "," (trailing blanks removed) or 255 characters, in a buffer shared by all lookups.
// Null when the key does not occur.
const char *feature_get(const ArchiveHeader &h, const char *key);

// Returns the text after the first "=" of a lookup result (the whole result when it has none).
const char *feature_value(const char *item);

// Puts every item of `h` into the environment; an item without "=" becomes a variable with an
// empty value.
void feature_export(const ArchiveHeader &h);

// Removes trailing spaces, newlines, tabs and carriage returns in place; returns the new length.
size_t trim_trailing(char *text);

} // namespace vardo

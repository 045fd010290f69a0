// The feature string: comma-separated items, each a flag word ("NOCOMPR") or KEY=VALUE, carried
// in the first header string from build time to extraction time.
#pragma once
#include <cstddef>
#include <cstdint>

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

// The item that records a payload's uncompressed size in decimal bytes when it is 4 GiB or more,
// which the gzip trailer's ISIZE holds only modulo 2^32. Items are found by substring; no
// ordinary item holds this key.
inline constexpr char kSizeKey[] = "VARDO_USIZE=";

// The size recorded in the item of kSizeKey: 1 with *size set, 0 when there is no such item, -1
// after a message when its value is not a decimal number of bytes.
int feature_size(const ArchiveHeader &h, uint64_t *size);

// True when `value` can stand in an item as it is: it holds no "," that would split the item
// and no double quote or backslash that the split would take out.
bool is_plain_item_value(const char *value);

// True when the items `items` end where the split of the feature string would end them: not
// inside a double quote, nor with a backslash that would take the "," after it, either of which
// joins the next item (the builder's "NAME=" last of all) to the last of these.
bool ends_its_items(const char *items);

// The feature items of `h` as environment entries, split at commas by strsplit (a backslash
// keeps the next character, double quotes keep commas), each trimmed of trailing blanks, a flag
// word NAME becoming "NAME=": a NULL-terminated list (an aplist) of new strings. Null when
// memory runs out.
void **feature_entries(const ArchiveHeader &h);

// Refuses, after a message naming it, the first of `entries` that must not reach the run
// command's environment (lib/runtime_names.h says which). Returns 0 or -1.
int feature_check_entries(void **entries);

// Removes trailing spaces, newlines, tabs and carriage returns in place; returns the new length.
size_t trim_trailing(char *text);

} // namespace vardo

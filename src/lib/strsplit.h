#pragma once

namespace vardo {

// Splits `text` at any character of `separators` into a new aplist of new strings (destroy
// function `free`). A double-quoted group keeps its separators; a backslash escapes the next
// character and is removed from the piece. None or empty text gives an empty list.
void **strsplit(const char *text, const char *separators);

} // namespace vardo

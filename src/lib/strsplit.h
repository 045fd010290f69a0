#pragma once

namespace vardo {

// Splits `text` at any character of `separators` into a new aplist of new strings (destroy
// function `free`). Within a piece a pair of double quotes keeps the separators between them and
// is dropped, the text around it staying in the piece; an unpaired quote keeps them up to the
// end. A backslash keeps the next character from splitting or quoting, and a piece that had one
// loses all its backslashes. None or empty text gives an empty list, and an empty last piece is
// left out.
void **strsplit(const char *text, const char *separators);

} // namespace vardo

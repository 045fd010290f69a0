#pragma once

namespace vardo {

// Removes every occurrence of `c` from `text` in place; returns how many were removed.
int strdel(char *text, char c);

} // namespace vardo

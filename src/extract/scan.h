// What a command template runs, read as a whole before any value goes into it. A value that needs
// quoting stays data only where no command of the template reads what it is given as code again:
// eval, trap, source, alias and most other shell builtins may (bash evaluates array subscripts
// and arithmetic, command substitutions included, in the names and numbers that read, unset,
// declare, "test -v" and the like take, also from a variable that holds a value), and so may a
// command named by an expansion or run by a substitution. The scan accepts only templates whose
// every command is a program (whatever runs it, it does not re-read the shell's text) or one of
// the builtins that take their arguments as data.
#pragma once
#include <cstddef>

namespace vardo {

struct TemplateScan {
  // Some part of the template may read a value as code: every value that needs quoting is
  // refused.
  bool unsure = false;
  // The commands export and readonly, from their first to their last character: there a value
  // that starts a word would be the name of a variable, which bash evaluates.
  static constexpr int kMaxNaming = 8;
  size_t naming_begin[kMaxNaming];
  size_t naming_end[kMaxNaming];
  int naming = 0;
  // True when the template offset `at` lies in export or readonly.
  bool names_at(size_t at) const;
};

// Reads the whole template `tmpl`.
TemplateScan scan_template(const char *tmpl);

} // namespace vardo

// How a value is written into a command template so that the shell reads exactly its bytes as
// data, and where no such promise can be made.
//
// A value made only of letters, digits and "_./,:+@%=-" means the same to every shell wherever it
// stands, and is inserted unchanged. Any other value is single-quoted, each "'" in it written as
// '\'' (inside '...' only the '\'' is written; inside "..." the double quotes are closed around
// the single-quoted value and opened again). Quoting is trusted only while the template up to
// the placeholder keeps to the part of the grammar that every shell reads alike: words, blanks
// and newlines, '...', "..." without substitutions, a backslash before any character but a
// newline, $NAME and one-character parameters such as $1 or $?, and the operators ; & | < > ( ) .
// Once anything else has appeared ("$(", "${", "$((", "$'", "$\"", a backquote, "<<", a line
// continuation, a "#" that may begin a comment, "((" or another "(" that opens something in some
// shell, a byte above 0x7F that a backslash may belong to), a value that needs quoting is refused:
// the rest of the template is not followed at all, so no gap in a model of the shell can turn a
// value into code. A backslash or "$" right before the placeholder would take the first byte of
// the quoting as its own, so there too a value that needs quoting is refused.
#pragma once
#include <cstddef>

namespace vardo {

struct ShellState {
  enum Quote { kPlain, kSingle, kDouble };
  Quote quote = kPlain;
  char before = '\n';   // the previous character; '\\' after one taken literally
  bool escaped = false; // a backslash waits for the next character
  bool unsure = false;  // the template has left the part of the grammar that is followed
};

// Follows one template character.
void shell_follow(ShellState *s, char c);

// The expanded command: at most `size` - 1 characters and the NUL.
struct CommandBuffer {
  char *out;
  size_t size;
  size_t w = 0;
  bool overflow = false;
  void put(char c);
};

// Writes `value` where the template stands, quoted for that place, and follows what it wrote.
// Returns -1, writing nothing, where a value that needs quoting cannot be promised to stay data.
int shell_insert(CommandBuffer *b, ShellState *s, const char *value);

} // namespace vardo

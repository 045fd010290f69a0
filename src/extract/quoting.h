// How a value is written into a command template so that the shell reads exactly its bytes as
// data, and where no such promise can be made.
//
// A value made only of letters, digits and "_./,:+@%=-" means the same to every shell wherever it
// stands (but inside the "{" of a word, where "," and ".." make more words), and is inserted
// unchanged. Any other value, and the empty one, is single-quoted, each "'" in it written as '\''
// (inside '...' only the '\'' is written; inside "..." the double quotes are closed around the
// single-quoted value and opened again).
//
// Quoting is trusted only where the shell reads the quoted value once, as data:
//   - in a template that no part of reads a value as code again (extract/scan.h);
//   - where the template up to the placeholder keeps to the part of the grammar that every shell
//     reads alike: words, blanks, newlines, '...', "..." without substitutions, a backslash
//     before any character but a newline, $NAME and one-character parameters such as $1 or $?,
//     and the operators ; & | < > ( ). Once anything else has appeared ("$(", "${", "$'", "$\"",
//     a backquote, "<<", a line continuation, a "#" that may begin a comment, a "(" that opens
//     something in some shell) the rest of the template is not followed at all;
//   - not right after a backslash or "$", which would take the first byte of the quoting as its
//     own; not in the word after ">&" or "<&", which bash expands a second time; not inside the
//     "[" of a word, an array subscript to bash; not where a word of export or readonly begins,
//     the name of a variable.
// Elsewhere a value that needs quoting is refused, so that no gap in a model of the shell can
// turn a value into code.
#pragma once
#include <cstddef>

namespace vardo {

struct ShellState {
  enum Quote { kPlain, kSingle, kDouble };
  Quote quote = kPlain;
  char before = '\n';         // the previous character; '\\' after one taken literally
  bool escaped = false;       // a backslash waits for the next character
  bool unsure = false;        // the template has left the part of the grammar that is followed
  bool word_begun = false;    // the current word holds a character, quoted or not
  bool redirect_word = false; // the current or next word follows ">&" or "<&"
  bool subscript = false;     // a "[" of the current word is open
  bool brace = false;         // a "{" of the current word is open
  bool naming = false;        // the placeholder stands in export or readonly
  bool closed = false;        // after ">&-" or "<&-", which must end there
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

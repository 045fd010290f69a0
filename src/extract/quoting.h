// How a value is written into a command template so that the shell reads exactly its bytes as
// data, and where no such promise can be made.
//
// A value made only of letters, digits and "_./,:+@%=-" means the same to every shell wherever it
// stands, and is inserted unchanged. Any other value, and the empty one, is single-quoted, each
// "'" in it written as '\'' (inside '...' only the '\'' is written; inside "..." the double
// quotes are closed around the single-quoted value and opened again). Quoting is trusted only
// while the template up to the placeholder keeps to the part of the grammar that every shell
// reads alike: words, blanks, '...', "..." without substitutions, a backslash before any character
// but a newline, $NAME and one-character parameters such as $1 or $?, and the operators
// ; & | < > ( ) on the first line. Once anything else has appeared ("$(", "${", "$((", "$'",
// "$\"", a backquote, "<<", a line continuation, a "#" that may begin a comment, "((" or another
// "(" that opens something in some shell, a byte above 0x7F that a backslash may belong to, or a
// newline, after which an alias defined on an earlier line may change how a line is read), a value
// that needs quoting is refused: the rest of the template is not followed at all, so no gap in a
// model of the shell can turn a value into code. It is refused too where a shell reads the word
// it lands in a second time: right after a backslash or "$", which would take the first byte of
// the quoting as its own; in the word after ">&" or "<&", which bash expands again; inside the
// "[" of a word, which bash evaluates as an array subscript.
//
// Some commands read what they are given as code again, whatever its quoting: eval and trap run
// a string, and bash evaluates arithmetic ("((", "$((", "$[", "let", "[[", a "${NAME:" offset or
// subscript, declare, typeset and local) and the names given to read, mapfile, getopts, "printf
// -v" and "test -v", command substitutions included, also from a variable that holds a value. In
// a template that holds any of them anywhere, a value that needs quoting is refused wherever it
// stands; after export or readonly, where it would start a word, the name of a variable. Other
// programs that run their arguments (sh -c, su -c, ssh, find -exec sh -c, xargs) are not seen:
// a template must not hand them a value.
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
  bool names_read = false;    // export or readonly take a value that starts a word as a name
};

// Looks through the whole template for the commands that read values as code again, and sets
// the state up for them: `unsure` where any value may reach one, `names_read` where values that
// start a word do.
void shell_prepare(ShellState *s, const char *tmpl);

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

// How the shell reads a command template up to a placeholder, and how a value is written there so
// that the shell reads exactly the value's bytes as data.
//
// Quotes, backslashes and command substitutions "$(...)" are followed as the shell follows them,
// each substitution with quotes of its own. Where the shell would read a value again or by other
// rules (inside backquotes, "${...}", "$((...))" or a here-document body), no quoting keeps it
// data, and a placeholder there is refused. In a comment a value stands as it is, unless a
// newline in it would end the comment. A "case" pattern's unbalanced ")" inside "$(...)" is not
// told from the end of the substitution.
#pragma once
#include <cstddef>

namespace vardo {

constexpr int kShellNesting = 8; // substitutions within substitutions that are followed

struct ShellState {
  enum Kind { kScript, kSubstitution, kBackquote, kBrace, kArithmetic };
  enum Quote { kPlain, kSingle, kDouble };
  struct Level {
    Kind kind;
    Quote quote;
    int parens; // open "(" inside an arithmetic expansion
  };
  Level level[kShellNesting + 1] = {{kScript, kPlain, 0}};
  int depth = 0;
  char before = '\0';       // the previous character, for "$(", "${", "$((" and "<<"
  bool escaped = false;     // a backslash waits for the next character
  bool word_start = true;   // the next character begins a word
  bool comment = false;     // inside a comment, up to the end of the line
  bool just_opened = false; // the previous character opened a substitution
  bool closing = false;     // the first ")" of "))" closed an arithmetic expansion
  bool heredoc = false;     // "<<" seen: a here-document begins with the next line
  bool unfollowed = false;  // a here-document body, or nesting too deep: the rest is not followed
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
  void put(const char *text);
};

// Writes `value` where the template stands, quoted for that place. Returns -1, writing nothing,
// where no quoting can keep the value data.
int shell_insert(CommandBuffer *b, ShellState *s, const char *value);

} // namespace vardo

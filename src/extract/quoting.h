// How a placeholder's value reaches the shell: never as part of the command's text. A value
// that is not plain goes into a variable of the command's environment, and the command gets a
// reference to it, written for the quoting that stands where the placeholder stands:
//
//   unquoted          "${VAR?}"
//   inside "..."      ${VAR?}
//   inside '...'      '"${VAR?}"'
//
// The shell expands the reference once, as data. Reading the quoting wrong can only make the
// reference another word (split, or taken literally); it cannot make the value code. So the
// quoting is followed only where every shell /bin/sh may be reads it alike, and past anything
// else every place is unknown, where a value that is not plain is refused: after a backslash or a
// "$", inside "${...}", a backquote or bash's $"...", and from the first "$'" (which dash and yash
// do not have), the first here-document (from the line after any "<<", whatever stands around it:
// its body would take a reference as text), a "case" inside "$(...)" (whose ")" ends a pattern),
// a quote inside "${...}" or nesting deeper than 16. The "?" makes a shell that cannot take the
// value (yash drops a variable whose bytes are no characters of its locale) stop with an error
// instead of running the command with an empty word.
//
// A plain value (extract/command.h says which) goes in as it stands, as a template expands it
// without any of this.
#pragma once

namespace vardo {

// The quoting where a placeholder stands.
enum class Quoting { plain, single, dbl, unknown };

// Follows a template one character at a time.
class QuoteTracker {
public:
  // Follows the template character `c`.
  void follow(char c);
  // The quoting a placeholder would stand in here.
  Quoting here() const;
  // True when the template read so far ends outside any quote or nesting, as a whole template
  // must: one that does not was read otherwise than the shell will read it.
  bool settled() const;

private:
  // What the characters read so far are nested in: commands (the template, "$(...)", "(...)"),
  // backquotes, "...", bash's $"..." and "${...}".
  enum Frame : unsigned char { kCommands, kBackquote, kDouble, kLocale, kParameter };
  static constexpr int kMaxDepth = 16;
  void push(Frame f);
  void open_commands(char before);
  void lose() { depth_ = 0; } // every place from here on is unknown
  void read_raw(char c);
  void follow_commands(char c, char before);
  void end_word();
  Frame frames_[kMaxDepth] = {kCommands};
  int depth_ = 1;             // frames open; 0 once the quoting is lost
  int braces_ = 0;            // "{" open inside the innermost "${"
  char before_ = '\n';        // the character before, as the quoting goes
  char before_escape_ = '\n'; // the character before a backslash that waits
  bool escaped_ = false;      // a backslash waits for its character
  bool dollar_ = false;       // a "$" waits for its character
  bool single_ = false;       // inside '...'
  bool comment_ = false;      // from an unquoted "#" to the end of the line
  char word_[5] = {};         // the start of the unquoted word being read, for "case"
  int word_len_ = 0;
  // Of each frame of commands, the character before its "(" ("$" for "$("): whether the word
  // around it goes on after its ")".
  char opened_after_[kMaxDepth] = {};
  // Raw reading, whatever the quoting: the two characters before (a backslash-newline is none)
  // and whether a "<<" stands on the line, which the line's end makes a here-document's body.
  char raw_[2] = {'\n', '\n'};
  bool raw_backslash_ = false;
  bool here_document_ = false;
  bool here_just_announced_ = false;      // by the character before
  bool here_before_ = false;              // ... and what stood before that
  bool settled_at_here_document_ = false; // settled() where a here-document's body began
};

} // namespace vardo

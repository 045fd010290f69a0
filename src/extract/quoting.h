// How a placeholder's value reaches the shell: never as part of the command's text. A value
// that is not plain goes into a variable of the command's environment, and the command gets a
// reference to it, written for the quoting that stands where the placeholder stands:
//
//   unquoted          "${VAR?}"
//   inside "..."      ${VAR?}
//   inside '...'      '"${VAR?}"'
//
// The shell expands the reference once, as data. Reading the quoting wrong can only make the
// reference another word (split, or taken literally); it cannot make the value code. Where the
// quoting cannot be told (after a backslash or a "$", in a comment, a here-document, "$'...'" or
// "${...}"), a value that is not plain is refused. The "?" makes a shell that cannot take the
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

private:
  // What the characters read so far are nested in: commands (the template, "$(...)", "(...)",
  // backquotes), "...", bash's $"..." and "${...}".
  enum Frame : unsigned char { kCommands, kDouble, kLocale, kParameter, kBackquote };
  static constexpr int kMaxDepth = 16;
  static constexpr int kMaxDelimiter = 64;
  void push(Frame f);
  void follow_commands(char c, char before);
  void follow_here_document(char c);
  Frame frames_[kMaxDepth] = {kCommands};
  int depth_ = 1;              // frames open; 0 once nesting went too deep to follow
  int braces_ = 0;             // "{" open inside the innermost "${"
  char before_ = '\n';         // the character before, as the quoting goes
  bool escaped_ = false;       // a backslash waits for its character
  char before_escape_ = '\n';  // the character before that backslash
  bool dollar_ = false;        // a "$" waits for its character
  bool single_ = false;        // inside '...'
  bool dollar_single_ = false; // inside $'...'
  bool comment_ = false;       // from an unquoted "#" to the end of the line
  // Here-documents: the delimiter of the one announced ("<<" read, its word being read or
  // waiting for the end of the line), then its body until a line holds the delimiter alone.
  enum HereState : unsigned char { kNone, kWord, kPending, kBody } here_ = kNone;
  bool strip_tabs_ = false;
  char delimiter_[kMaxDelimiter] = {};
  int delimiter_len_ = 0;
  char line_[kMaxDelimiter + 1] = {};
  int line_len_ = 0;
};

} // namespace vardo

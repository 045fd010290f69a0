#include "extract/quoting.h"

#include <cstring>

namespace vardo {

// The characters that end an unquoted word; a "#" after one begins a comment.
static const char kWordEnds[] = " \t\n;&|()<>";

void QuoteTracker::push(Frame f) {
  word_len_ = 0;
  if (depth_ == kMaxDepth)
    lose();
  else if (depth_ > 0)
    frames_[depth_++] = f;
}

Quoting QuoteTracker::here() const {
  if (depth_ == 0 || escaped_ || dollar_)
    return Quoting::unknown;
  for (int i = 0; i < depth_; ++i)
    if (frames_[i] == kBackquote)
      return Quoting::unknown;
  // In a comment the reference is written as it would be outside one: if the comment is
  // misread, that is still right, and inside a comment nothing is run.
  switch (frames_[depth_ - 1]) {
  case kDouble:
    return Quoting::dbl;
  case kCommands:
    return single_ ? Quoting::single : Quoting::plain;
  default:
    return Quoting::unknown;
  }
}

// Outside any quote or nesting: where a here-document's body began, when one did.
bool QuoteTracker::settled() const {
  return depth_ == 0 ? settled_at_here_document_ : depth_ == 1 && !single_ && !escaped_ && !dollar_;
}

// Ends an unquoted word of a frame of commands: "case" inside a nesting makes the quoting lost,
// since the ")" of its patterns would be taken for the nesting's end.
void QuoteTracker::end_word() {
  if (word_len_ == 4 && memcmp(word_, "case", 4) == 0 && depth_ > 1)
    lose();
  word_len_ = 0;
}

// Opens a frame of commands whose "(" came after `before` ("$" for "$(").
void QuoteTracker::open_commands(char before) {
  push(kCommands);
  if (depth_ > 0)
    opened_after_[depth_ - 1] = before;
}

// Follows `c`, which came after `before`, in a frame of commands, outside any quotes.
void QuoteTracker::follow_commands(char c, char before) {
  if (strchr(kWordEnds, c))
    end_word();
  else if (word_len_ < 5)
    word_[word_len_++] = strchr("'\"$`", c) ? ' ' : c; // a quoted "case" is no keyword
  switch (c) {
  case '\'':
    single_ = true;
    break;
  case '"':
    push(kDouble);
    break;
  case '\\':
    escaped_ = true;
    before_escape_ = before;
    break;
  case '$':
    dollar_ = true;
    break;
  case '`':
    push(kBackquote);
    break;
  case '(':
    open_commands(before);
    break;
  case ')':
    if (depth_ > 1 && frames_[depth_ - 1] == kCommands) {
      // The word goes on after a substitution ("$(", "<(", ">(") and after a "(...)" inside a
      // word (a pattern of mksh and zsh); a subshell's, a case pattern's or a function's ")"
      // ends it, and a "#" after that begins a comment.
      char after = opened_after_[--depth_];
      if (strchr("$<>", after) || (!strchr(kWordEnds, after) && before != '('))
        before_ = 'x';
    }
    break;
  case '#':
    // A "#" that begins a word begins a comment, but not inside a pattern "@(...)" of bash and
    // mksh, and one after a byte of a multibyte character begins one where the locale calls that
    // character a blank (yash): the quoting is lost there.
    if ((before & 0x80) ||
        (depth_ > 1 && strchr(kWordEnds, before) && !strchr(kWordEnds, opened_after_[depth_ - 1]) &&
         !strchr("$<>", opened_after_[depth_ - 1])))
      lose();
    else
      comment_ = strchr(kWordEnds, before) != nullptr;
    break;
  }
}

// Takes `c` in the raw reading.
void QuoteTracker::read_raw(char c) {
  if (c == '\n' && here_document_ && depth_ > 0) {
    settled_at_here_document_ = settled();
    lose();
  }
  if (c == '<' && raw_[1] == '<' && !(raw_[0] == '<' && here_just_announced_)) {
    // "<<" announces a here-document...
    here_before_ = here_document_;
    here_document_ = here_just_announced_ = true;
  } else if (c == '<' && here_just_announced_) {
    // ... unless a third "<" makes it "<<<" at once.
    here_document_ = here_before_;
    here_just_announced_ = false;
  } else {
    here_just_announced_ = false;
  }
  raw_[0] = raw_[1];
  raw_[1] = c;
}

void QuoteTracker::follow(char c) {
  // Raw reading: a "<<" anywhere (but "<<<") makes everything after its line unknown. A
  // backslash-newline counts as no character, and as the line's end too, to be sure.
  if (raw_backslash_) {
    raw_backslash_ = false;
    if (c == '\n') {
      if (here_document_ && depth_ > 0) {
        settled_at_here_document_ = settled();
        lose();
      }
    } else {
      read_raw('\\');
      read_raw(c); // taken as it is, a backslash too
    }
  } else if (c == '\\') {
    raw_backslash_ = true;
  } else {
    read_raw(c);
  }
  char before = before_;
  before_ = c;
  if (depth_ == 0)
    return;
  if (comment_) {
    // A comment ends at the line's end, and inside backquotes at the backquote that closes them,
    // which the shell finds before it reads what they hold.
    bool closes = c == '`' && frames_[depth_ - 1] == kBackquote;
    comment_ = c != '\n' && !closes;
    if (c == '\n')
      follow_commands(c, before);
    if (!closes)
      return;
  }
  if (escaped_) {
    // A backslash-newline joins two lines as if neither were there; any other character is
    // taken as it is, and begins nothing.
    escaped_ = false;
    dollar_ = dollar_ && c == '\n'; // "$", backslash-newline, "'" is "$'"
    if (c == '\n' && word_len_ && word_[word_len_ - 1] == '\\')
      --word_len_; // "cas", backslash-newline, "e" is "case"
    before_ = c == '\n' ? before_escape_ : '\\';
    return;
  }
  if (single_) {
    single_ = c != '\'';
    return;
  }
  Frame frame = frames_[depth_ - 1];
  if (dollar_) {
    // "$(", "${", bash's $"..." outside "...", and "$'", which dash and yash read otherwise: after
    // any other character the "$" began nothing that is followed.
    if (c == '\\') {
      escaped_ = true;
      before_escape_ = before;
      return;
    }
    dollar_ = false;
    bool quoted = frame == kDouble || frame == kLocale;
    if (c == '(') {
      open_commands('$');
      return;
    }
    if (c == '{' || (!quoted && c == '"')) {
      push(c == '{' ? kParameter : kLocale);
      return;
    }
    if (!quoted && c == '\'') {
      lose();
      return;
    }
  }
  switch (frame) {
  case kParameter:
    // Only its end is followed: a quote inside it may hide a "}", and so may a backslash, which
    // yash takes as one in its word while other shells do not, and a substitution, whose "}"
    // does not end it.
    if (strchr("'\"\\(`", c))
      lose();
    else if (c == '{')
      ++braces_;
    else if (c == '}' && braces_-- == 0) {
      braces_ = 0;
      --depth_;
    }
    return;
  case kDouble:
  case kLocale:
    if (c == '"') {
      --depth_;
    } else if (c == '\\') {
      escaped_ = true;
      before_escape_ = before;
    } else if (c == '$') {
      dollar_ = true;
    } else if (c == '`') {
      push(kBackquote);
    }
    return;
  case kBackquote:
    if (c == '`') {
      --depth_;
      return;
    }
    // Some shells end backquotes at the first backquote even inside quotes, others not.
    if (c == '\'' || c == '"') {
      lose();
      return;
    }
    follow_commands(c, before);
    return;
  case kCommands:
    follow_commands(c, before);
    return;
  }
}

} // namespace vardo

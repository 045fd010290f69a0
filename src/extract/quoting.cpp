#include "extract/quoting.h"

#include <cstring>

namespace vardo {

void QuoteTracker::push(Frame f) {
  if (depth_ == kMaxDepth)
    depth_ = 0; // deeper than is followed: every place from here on is unknown
  else if (depth_ > 0)
    frames_[depth_++] = f;
}

Quoting QuoteTracker::here() const {
  if (depth_ == 0 || escaped_ || dollar_ || dollar_single_ || here_ == kBody)
    return Quoting::unknown;
  // In a comment the reference is written as it would be outside one: if the comment is
  // misread, that is still right, and inside a comment nothing is run.
  switch (frames_[depth_ - 1]) {
  case kDouble:
    return Quoting::dbl;
  case kParameter:
  case kLocale:
    return Quoting::unknown;
  default:
    return single_ ? Quoting::single : Quoting::plain;
  }
}

// The body of a here-document: a line that holds the delimiter alone (less leading tabs after
// "<<-") ends it.
void QuoteTracker::follow_here_document(char c) {
  if (c != '\n') {
    if (!(strip_tabs_ && c == '\t' && line_len_ == 0) && line_len_ <= kMaxDelimiter)
      line_[line_len_++] = c;
    return;
  }
  if (line_len_ == delimiter_len_ && memcmp(line_, delimiter_, delimiter_len_) == 0)
    here_ = kNone;
  line_len_ = 0;
}

// Follows `c` in a frame of commands, outside any quotes.
void QuoteTracker::follow_commands(char c, char before) {
  if (here_ == kWord) {
    // The delimiter: one word, its quotes and backslashes taken out.
    if (delimiter_len_ == 0 && before == '<' && (c == '-' || c == '<')) {
      strip_tabs_ = c == '-';
      if (c == '<')
        here_ = kNone; // "<<<": a word follows, not a here-document
      return;
    }
    if (c == ' ' || c == '\t') {
      if (delimiter_len_ > 0)
        here_ = kPending;
      return;
    }
    if (c != '\n' && !strchr(";&|<>()", c)) {
      if (!strchr("'\"\\", c) && delimiter_len_ < kMaxDelimiter)
        delimiter_[delimiter_len_++] = c;
      return;
    }
    here_ = kPending;
  }
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
    if (frames_[depth_ - 1] == kBackquote)
      --depth_;
    else
      push(kBackquote);
    break;
  case '(':
    push(kCommands);
    break;
  case ')':
    if (depth_ > 1 && frames_[depth_ - 1] == kCommands)
      --depth_;
    break;
  case '#':
    comment_ = strchr(" \t\n;&|()<>", before) != nullptr;
    break;
  case '<':
    if (before == '<' && here_ == kNone) {
      here_ = kWord;
      strip_tabs_ = false;
      delimiter_len_ = 0;
    }
    break;
  case '\n':
    if (here_ == kPending) {
      here_ = kBody;
      line_len_ = 0;
    }
    break;
  }
}

void QuoteTracker::follow(char c) {
  char before = before_;
  before_ = c;
  if (depth_ == 0)
    return;
  if (here_ == kBody) {
    follow_here_document(c);
    return;
  }
  if (comment_) {
    comment_ = c != '\n';
    if (!comment_)
      follow_commands(c, before);
    return;
  }
  if (escaped_) {
    // A backslash-newline joins two lines as if neither were there; any other character is
    // taken as it is, and begins nothing.
    escaped_ = false;
    before_ = c == '\n' ? before_escape_ : '\\';
    return;
  }
  if (single_ || dollar_single_) {
    if (c == '\'' && !(dollar_single_ && before == '\\'))
      single_ = dollar_single_ = false;
    return;
  }
  Frame frame = frames_[depth_ - 1];
  if (dollar_) {
    // "$(", "${", and outside "..." the quotes "$'" and "$\"" (which bash translates); after
    // any other character the "$" began nothing that is followed.
    dollar_ = false;
    bool quoted = frame == kDouble || frame == kLocale;
    if (c == '(' || c == '{' || (!quoted && (c == '\'' || c == '"'))) {
      if (c == '\'')
        dollar_single_ = true;
      else
        push(c == '(' ? kCommands : c == '{' ? kParameter : kLocale);
      return;
    }
  }
  if (frame == kParameter) {
    // Only its end is followed: quotes inside it are taken for what they seem.
    if (c == '{')
      ++braces_;
    else if (c == '}' && braces_-- == 0) {
      braces_ = 0;
      --depth_;
    }
    return;
  }
  if (frame == kDouble || frame == kLocale) {
    if (c == '"')
      --depth_;
    else if (c == '\\') {
      escaped_ = true;
      before_escape_ = before;
    } else if (c == '$') {
      dollar_ = true;
    } else if (c == '`') {
      push(kBackquote);
    }
    return;
  }
  follow_commands(c, before);
}

} // namespace vardo

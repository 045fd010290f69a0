#include "extract/quoting.h"

#include <cctype>
#include <cstring>

namespace vardo {

void CommandBuffer::put(char c) {
  if (w < size - 1)
    out[w++] = c;
  else
    overflow = true;
}

void CommandBuffer::put(const char *text) {
  while (*text)
    put(*text++);
}

static void push(ShellState *s, ShellState::Kind kind) {
  if (s->depth == kShellNesting)
    s->unfollowed = true;
  else
    s->level[++s->depth] = {kind, ShellState::kPlain, 0};
}

static void pop(ShellState *s) {
  if (s->depth > 0)
    --s->depth;
}

// A character outside quotes: quotes open, a comment or a here-document begins, an expansion
// ends.
static void follow_unquoted(ShellState *s, ShellState::Level *l, char c, char before,
                            bool word_start) {
  switch (c) {
  case '\'':
    l->quote = ShellState::kSingle;
    break;
  case '"':
    l->quote = ShellState::kDouble;
    break;
  case '#':
    s->comment = word_start && l->kind <= ShellState::kSubstitution;
    break;
  case '<':
    s->heredoc = s->heredoc || before == '<';
    break;
  case '\n':
    s->unfollowed = s->heredoc; // the body is read by other rules, up to a line of its choosing
    break;
  case '(':
    l->parens += l->kind == ShellState::kArithmetic;
    break;
  case ')':
    if (l->kind == ShellState::kArithmetic && l->parens > 0) {
      --l->parens;
    } else if (l->kind == ShellState::kArithmetic) {
      pop(s);
      s->closing = true;
    } else if (l->kind == ShellState::kSubstitution) {
      pop(s);
    }
    break;
  case '}':
    if (l->kind == ShellState::kBrace)
      pop(s);
    break;
  }
  s->word_start = strchr(" \t\n;&|()<>", c) != nullptr;
}

void shell_follow(ShellState *s, char c) {
  char before = s->before;
  bool just_opened = s->just_opened, word_start = s->word_start, closing = s->closing;
  s->before = c;
  s->just_opened = s->word_start = s->closing = false;
  if (s->unfollowed || (s->comment && c != '\n'))
    return;
  s->comment = false;
  ShellState::Level *l = &s->level[s->depth];
  if (s->escaped) {
    s->escaped = false;
    s->before = '\0';
  } else if (c == '`' && l->kind == ShellState::kBackquote) {
    pop(s); // the first unescaped backquote ends it, quotes or not
  } else if (l->quote == ShellState::kSingle) {
    if (c == '\'')
      l->quote = ShellState::kPlain;
  } else if (c == ')' && closing) {
    // the second ")" of "))"
  } else if (c == '\\') {
    s->escaped = true;
  } else if (c == '(' && before == '$') {
    push(s, ShellState::kSubstitution);
    s->just_opened = s->word_start = true;
  } else if (c == '(' && just_opened) {
    l->kind = ShellState::kArithmetic;
  } else if (c == '{' && before == '$') {
    push(s, ShellState::kBrace);
  } else if (c == '`') {
    push(s, ShellState::kBackquote);
    s->word_start = true;
  } else if (l->quote == ShellState::kDouble) {
    if (c == '"')
      l->quote = ShellState::kPlain;
  } else {
    follow_unquoted(s, l, c, before, word_start);
  }
}

// Characters the shell reads as themselves outside quotes, wherever they stand in a word.
static bool is_plain_word(const char *value) {
  for (const char *v = value; *v; ++v)
    if (!isalnum(static_cast<unsigned char>(*v)) && !strchr("_./,:+@%=-", *v))
      return false;
  return true;
}

// Inside '...' only a quote ends the quoting: each is written as '\'' (close, a quoted quote,
// open again).
static void put_single_quoted(CommandBuffer *b, const char *value) {
  for (const char *v = value; *v; ++v)
    *v == '\'' ? b->put("'\\''") : b->put(*v);
}

// A value that needs no quoting is written unchanged, as is every value a template received
// before values were quoted. A pending backslash takes the value's first byte: outside quotes it
// would turn a quote into a literal, so a quoted value is preceded by a newline (backslash-newline
// is a line continuation, which the shell drops); inside "..." it stays a literal backslash,
// written as "\\" where the first byte would be one it escapes.
static void put_quoted(CommandBuffer *b, ShellState::Quote quote, bool escaped, const char *value) {
  switch (quote) {
  case ShellState::kPlain:
    if (is_plain_word(value))
      return b->put(value);
    if (escaped)
      b->put('\n');
    b->put('\'');
    put_single_quoted(b, value);
    return b->put('\'');
  case ShellState::kSingle:
    return put_single_quoted(b, value);
  case ShellState::kDouble:
    if (escaped && value[0] && strchr("\"$`\\\n", value[0]))
      b->put('\\');
    for (const char *v = value; *v; ++v) {
      if (strchr("\"$`\\", *v))
        b->put('\\');
      b->put(*v);
    }
    return;
  }
}

int shell_insert(CommandBuffer *b, ShellState *s, const char *value) {
  if (s->unfollowed)
    return -1;
  for (int i = 0; i <= s->depth; ++i)
    if (s->level[i].kind > ShellState::kSubstitution)
      return -1;
  if (s->comment) {
    if (strchr(value, '\n'))
      return -1;
    b->put(value);
    return 0;
  }
  if (!value[0])
    return 0; // a pending backslash still waits for the template's next character
  put_quoted(b, s->level[s->depth].quote, s->escaped, value);
  s->escaped = s->word_start = s->just_opened = false;
  s->before = '\0';
  return 0;
}

} // namespace vardo

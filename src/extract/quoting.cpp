#include "extract/quoting.h"

#include <cctype>
#include <cstring>

#include "lib/text.h"

namespace vardo {

void CommandBuffer::put(char c) {
  if (w < size - 1)
    out[w++] = c;
  else
    overflow = true;
}

// After "$" only a name or a one-character parameter is followed; "$(", "${", "$'", "$\"" and a
// "$" standing alone are not.
static bool is_parameter(char c) {
  return isalnum(static_cast<unsigned char>(c)) || strchr("_?$!#@*-", c);
}

// A "#" that does not continue a word begins a comment. Anything but a printable character that
// is not an operator might end a word in some shell.
static bool may_begin_comment(char before) {
  auto b = static_cast<unsigned char>(before);
  return b <= ' ' || b >= 0x7f || strchr(";&|<>()", before);
}

// After these a "(" opens something other than a subshell in some shell: "((" arithmetic, "<("
// and ">(" process substitution, "=(" an array, "@(" and the like an extended pattern.
static bool opens_nesting(char before) { return strchr("<>(=@!+*?", before); }

static void follow_unquoted(ShellState *s, char c, char before) {
  switch (c) {
  case '\'':
    s->quote = ShellState::kSingle;
    break;
  case '"':
    s->quote = ShellState::kDouble;
    break;
  case '#':
    s->unsure = may_begin_comment(before);
    break;
  case '<':
    s->unsure = before == '<'; // a here-document
    break;
  case '(':
    s->unsure = opens_nesting(before);
    break;
  }
}

// Blanks, newlines and operators end a word outside quotes.
static bool ends_word(char c) { return c == ' ' || c == '\t' || c == '\n' || strchr(";&|<>()", c); }

// Follows where words begin and end outside quotes and escapes: what a value placed in the current
// word turns into.
static void follow_word(ShellState *s, char c, char before) {
  if (ends_word(c)) {
    if (s->word_begun)
      s->redirect_word = false;
    s->word_begun = s->subscript = s->brace = s->closed = false;
    if (c == '&' && (before == '>' || before == '<'))
      s->redirect_word = true;
    return;
  }
  // The shells read what follows ">&-" each in its own way: bash ends the word there, busybox
  // takes it for a file name, dash refuses it.
  if (s->closed) {
    s->unsure = true;
    return;
  }
  s->closed = c == '-' && s->redirect_word && !s->word_begun;
  if (c == '[' || c == ']')
    s->subscript = c == '[';
  else if (c == '{' || c == '}')
    s->brace = c == '{';
  if (c != '\'' && c != '"')
    s->word_begun = true;
}

void shell_follow(ShellState *s, char c) {
  char before = s->before;
  s->before = c;
  if (s->unsure)
    return;
  if (s->quote == ShellState::kPlain && !s->escaped)
    follow_word(s, c, before);
  else if (!(s->quote == ShellState::kSingle && c == '\'') &&
           !(s->quote == ShellState::kDouble && c == '"' && !s->escaped))
    s->word_begun = true; // quoted or escaped, a character of the word
  if (s->escaped) {
    // A backslash-newline joins two lines, and what the join means depends on the place.
    s->escaped = false;
    s->unsure = c == '\n';
    s->before = '\\';
  } else if (s->quote == ShellState::kSingle) {
    if (c == '\'')
      s->quote = ShellState::kPlain;
  } else if (before == '$') {
    s->unsure = !is_parameter(c);
  } else if (c == '`') {
    s->unsure = true;
  } else if (c == '\\') {
    s->escaped = true;
  } else if (s->quote == ShellState::kDouble) {
    if (c == '"')
      s->quote = ShellState::kPlain;
  } else {
    follow_unquoted(s, c, before);
  }
}

// Characters the shell reads as themselves outside quotes, wherever they stand in a word but a
// brace expansion, where "," and ".." make more words. An empty value is not one: written as
// nothing, it would take its argument away with it.
static bool is_plain_word(const ShellState *s, const char *value) {
  if (!*value || (s->brace && (strchr(value, ',') || find_text(value, ".."))))
    return false;
  for (const char *v = value; *v; ++v)
    if (!isalnum(static_cast<unsigned char>(*v)) && !strchr("_./,:+@%=-", *v))
      return false;
  return true;
}

// A backslash or "$" waiting for the next character would take the first byte of the quoting
// for a character of its own.
static bool is_pending(const ShellState *s) {
  return s->escaped || (s->before == '$' && s->quote != ShellState::kSingle);
}

static void emit(CommandBuffer *b, ShellState *s, char c) {
  b->put(c);
  shell_follow(s, c);
}

// Inside '...' only a quote ends the quoting: each is written as '\'' (close, a quoted quote,
// open again).
static void emit_single_quoted(CommandBuffer *b, ShellState *s, const char *value) {
  for (const char *v = value; *v; ++v) {
    if (*v == '\'')
      for (const char *q = "'\\'"; *q; ++q)
        emit(b, s, *q);
    emit(b, s, *v);
  }
}

// A value is single-quoted: inside '...' no byte but the quote is special in any shell or locale.
// Inside "..." it is not enough to put a backslash before the special bytes, as in some
// multibyte locales (Big5, GBK, Shift JIS) bash takes a byte such as \xa4 and the backslash after
// it for one character; so the double quotes are closed around the single-quoted value.
int shell_insert(CommandBuffer *b, ShellState *s, const char *value) {
  if (is_plain_word(s, value)) {
    for (const char *v = value; *v; ++v)
      emit(b, s, *v);
    return 0;
  }
  if (s->unsure || is_pending(s) || s->redirect_word || s->subscript ||
      (s->naming && !s->word_begun))
    return -1;
  bool reopen = s->quote == ShellState::kDouble;
  if (reopen)
    emit(b, s, '"');
  bool wrap = s->quote == ShellState::kPlain;
  if (wrap)
    emit(b, s, '\'');
  emit_single_quoted(b, s, value);
  if (wrap)
    emit(b, s, '\'');
  if (reopen)
    emit(b, s, '"');
  return 0;
}

} // namespace vardo

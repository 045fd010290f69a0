#include "lib/strsplit.h"

#include <cstdlib>
#include <cstring>

#include "lib/aplist.h"
#include "lib/strdel.h"

namespace vardo {

// Appends a copy of the piece [start, end) to the list, without its backslashes when the piece
// had one. Returns -1 when memory runs out.
static int append_piece(void ***list, const char *start, const char *end, bool *had_backslash) {
  char *piece = strndup(start, static_cast<size_t>(end - start));
  if (!piece)
    return -1;
  if (*had_backslash) {
    *had_backslash = false;
    strdel(piece, '\\');
  }
  if (aplist_add(list, piece) < 0) {
    free(piece);
    return -1;
  }
  return 0;
}

void **strsplit(const char *text, const char *separators) {
  void **list = aplist_new(5, free);
  if (!list || !text || !*text)
    return list;
  char *copy = strdup(text);
  if (!copy)
    return list;
  char *start = copy;
  bool in_quote = false;
  bool had_backslash = false;
  char *p = copy;
  while (*p) {
    if (*p == '\\') {
      had_backslash = true;
      if (!p[1]) {
        ++p;
        break;
      }
      p += 2;
      continue;
    }
    if (*p == '"' && !had_backslash) {
      if (!in_quote) {
        in_quote = true;
        start = ++p;
        continue;
      }
      // Closing a quote removes it and every later double quote of the text.
      in_quote = false;
      strdel(p, '"');
      if (!*p) {
        append_piece(&list, start, p, &had_backslash);
        start = p;
        break;
      }
    }
    if (!in_quote && strchr(separators, *p)) {
      append_piece(&list, start, p, &had_backslash);
      start = p + 1;
    }
    ++p;
  }
  if (*start)
    append_piece(&list, start, start + strlen(start), &had_backslash);
  free(copy);
  return list;
}

} // namespace vardo

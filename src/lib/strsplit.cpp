#include "lib/strsplit.h"

#include <cstdlib>
#include <cstring>

#include "lib/aplist.h"
#include "lib/strdel.h"

namespace vardo {

// Appends a copy of the piece's `len` bytes to the list, without its backslashes when the piece
// had one. Returns -1 when memory runs out.
static int append_piece(void ***list, const char *piece, size_t len, bool had_backslash) {
  char *copy = strndup(piece, len);
  if (!copy)
    return -1;
  if (had_backslash)
    strdel(copy, '\\');
  if (aplist_add(list, copy) < 0) {
    free(copy);
    return -1;
  }
  return 0;
}

void **strsplit(const char *text, const char *separators) {
  void **list = aplist_new(5, free);
  if (!list || !text || !*text)
    return list;
  char *piece = static_cast<char *>(malloc(strlen(text) + 1));
  if (!piece)
    return list;
  size_t len = 0;
  bool in_quote = false, had_backslash = false;
  for (const char *p = text; *p; ++p) {
    if (*p == '\\') {
      // The backslash and the character after it are kept unexamined; a backslash as the last
      // character ends the text.
      had_backslash = true;
      piece[len++] = *p;
      if (!*++p)
        break;
      piece[len++] = *p;
    } else if (*p == '"') {
      in_quote = !in_quote; // a quote is dropped; up to its partner separators are kept
    } else if (!in_quote && strchr(separators, *p)) {
      append_piece(&list, piece, len, had_backslash);
      len = 0;
      had_backslash = false;
    } else {
      piece[len++] = *p;
    }
  }
  if (len > 0)
    append_piece(&list, piece, len, had_backslash);
  free(piece);
  return list;
}

} // namespace vardo

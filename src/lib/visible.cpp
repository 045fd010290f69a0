#include "lib/visible.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

#include "lib/text.h"

namespace vardo {

// Room for an expanded command (2047 characters) with every byte escaped in four characters.
constexpr size_t kVisibleSize = 4 * 2048;

// Set once a run vouches for what it shows: from then on every text is escaped.
static bool vouching = false;

void escape_everywhere() { vouching = true; }

const char *visible(const char *text, FILE *out) {
  return vouching || isatty(fileno(out)) ? escape_controls(text) : text;
}

// The length of the UTF-8 sequence at `t` and its code point, or 0 when the bytes there are not
// one well-formed sequence (a stray continuation byte, an overlong form, a surrogate, a cut one).
static int utf8_sequence(const unsigned char *t, uint32_t *code) {
  int len = t[0] >= 0xF0 ? 4 : t[0] >= 0xE0 ? 3 : t[0] >= 0xC2 ? 2 : 0;
  if (len == 0 || t[0] > 0xF4)
    return 0;
  uint32_t c = t[0] & (0x7F >> len);
  for (int i = 1; i < len; ++i) {
    if ((t[i] & 0xC0) != 0x80)
      return 0;
    c = c << 6 | (t[i] & 0x3F);
  }
  static const uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    return 0;
  *code = c;
  return len;
}

// Characters that a terminal or a reader of the text takes for an instruction, or shows as
// nothing: the C1 controls, the marks that turn the direction of the text round (which can make
// a line read other than the bytes run), the line and paragraph separators many readers take for
// the end of a line, and the characters without a glyph that make two texts look alike or carry
// one unseen: the soft hyphen, the combining grapheme joiner, the Hangul and Khmer fillers,
// Mongolian selectors, zero-width spaces and joiners, invisible operators, variation selectors,
// the byte-order mark, interlinear annotations, shorthand format controls, musical format marks
// and the tag characters.
static bool is_control(uint32_t c) {
  static const uint32_t kRanges[][2] = {
      {0x80, 0x9F},       {0xAD, 0xAD},       {0x34F, 0x34F},    {0x61C, 0x61C},   {0x115F, 0x1160},
      {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x200B, 0x200F},  {0x2028, 0x202E}, {0x2060, 0x206F},
      {0x3164, 0x3164},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},  {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFFB},
      {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}};
  for (const auto &range : kRanges)
    if (c >= range[0] && c <= range[1])
      return true;
  return false;
}

// Whether the terminal reads UTF-8, as the locale in the environment says (LC_ALL, else
// LC_CTYPE, else LANG), looked up once, on first use. (An archive's feature items cannot change
// it: those that name the locale are refused before any enters the environment.) Elsewhere, as in
// the C locale or Latin-1, a byte from 0x80 to 0x9F is a C1 control by itself, whatever sequence
// it stands in, so every byte above 0x7F is escaped.
static bool terminal_utf8() {
  static int utf8 = -1;
  if (utf8 >= 0)
    return utf8;
  const char *locale = nullptr;
  for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"})
    if ((locale = getenv(name)) && *locale)
      break;
  utf8 = 0;
  for (const char *p = locale ? locale : ""; *p && !utf8; ++p)
    utf8 = same_letters(p, "utf-8", 5) || same_letters(p, "utf8", 4);
  return utf8;
}

// The length of the character at `t` when the terminal shows it as it is: printable ASCII, a tab,
// or where the terminal reads UTF-8 a well-formed character that is no control. 0 for anything
// shown escaped: a backslash, a control character, a byte of an ill-formed sequence, and where
// the terminal does not read UTF-8 any byte above 0x7F.
static int shown_length(const unsigned char *t) {
  if (*t < 0x80)
    return (*t >= 0x20 && *t < 0x7F && *t != '\\') || *t == '\t' ? 1 : 0;
  uint32_t code = 0;
  int len = terminal_utf8() ? utf8_sequence(t, &code) : 0;
  return len > 1 && !is_control(code) ? len : 0;
}

const char *escape_controls(const char *text) {
  static char buffers[2][kVisibleSize];
  static int next = 0;
  char *shown = buffers[next];
  next ^= 1;
  size_t w = 0;
  auto *t = reinterpret_cast<const unsigned char *>(text);
  while (*t && w + 5 <= kVisibleSize) {
    size_t len = static_cast<size_t>(shown_length(t));
    if (len > 0 && w + len < kVisibleSize) {
      memcpy(shown + w, t, len);
      w += len;
      t += len;
      continue;
    }
    // Each byte of a control character or an ill-formed sequence is escaped on its own. A
    // backslash is doubled, so that a newline shown as \n is never read as the two characters
    // "\n".
    unsigned char c = *t++;
    if (c == '\\')
      w += static_cast<size_t>(snprintf(shown + w, 3, "\\\\"));
    else if (c == '\n' || c == '\r')
      w += static_cast<size_t>(snprintf(shown + w, 3, "\\%c", c == '\n' ? 'n' : 'r'));
    else
      w += static_cast<size_t>(snprintf(shown + w, 5, "\\%03o", c));
  }
  shown[w] = '\0';
  return shown;
}

bool holds_controls(const char *text) {
  for (auto *t = reinterpret_cast<const unsigned char *>(text); *t;) {
    int len = shown_length(t);
    if (len == 0 && *t != '\\')
      return true;
    t += len > 0 ? len : 1;
  }
  return false;
}

void report_errno(const char *what) {
  int err = errno;
  if (*what)
    fprintf(stderr, "%s: ", visible(what, stderr));
  fprintf(stderr, "%s\n", strerror(err));
  errno = err;
}

} // namespace vardo

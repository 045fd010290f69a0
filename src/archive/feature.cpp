#include "archive/feature.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/aplist.h"
#include "lib/process.h"
#include "lib/strsplit.h"
#include "lib/text.h"
#include "lib/visible.h"

namespace vardo {

int feature_add(ArchiveHeader &h, const char *item) {
  char *features = h.features;
  size_t len = strlen(features);
  size_t sep = len ? 1 : 0;
  if (len + sep + strlen(item) >= sizeof h.features) {
    fprintf(stderr, "%s: the feature string would be longer than %zu characters\n",
            process.program_name, sizeof h.features - 1);
    return -1;
  }
  if (sep)
    features[len++] = ',';
  strcpy(features + len, item);
  return 0;
}

const char *feature_get(const ArchiveHeader &h, const char *key) {
  static char result[256];
  const char *at = find_text(h.features, key);
  if (!at)
    return nullptr;
  strncpy(result, at, sizeof result - 1);
  result[sizeof result - 1] = '\0';
  if (char *comma = strchr(result, ',')) {
    *comma = '\0';
    trim_trailing(result);
  }
  return result;
}

const char *feature_value(const char *item) {
  const char *eq = strchr(item, '=');
  return eq ? eq + 1 : item;
}

// The length of the first `len` characters of `text` less the blanks that end them.
static size_t untrailed_length(const char *text, size_t len) {
  while (len > 0 && strchr(" \n\t\r", text[len - 1]))
    --len;
  return len;
}

size_t trim_trailing(char *text) {
  size_t len = untrailed_length(text, strlen(text));
  text[len] = '\0';
  return len;
}

int feature_size(const ArchiveHeader &h, uint64_t *size) {
  const char *item = feature_get(h, kSizeKey);
  if (!item)
    return 0;
  const char *digits = feature_value(item);
  uint64_t n = 0;
  const char *p = digits;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (n > (UINT64_MAX - digit) / 10)
      break; // one digit more would not fit: left unread, so refused below
    n = n * 10 + digit;
  }
  if (p == digits || *p) {
    fprintf(stderr, "%s: %s%s: not a size in bytes\n", process.program_name, kSizeKey,
            visible(digits, stderr));
    return -1;
  }
  *size = n;
  return 1;
}

bool is_plain_item_value(const char *value) { return !strpbrk(value, ",\"\\"); }

bool ends_its_items(const char *items) {
  bool quoted = false;
  for (const char *p = items; *p; ++p) {
    if (*p == '\\') {
      if (!*++p)
        return false;
    } else if (*p == '"') {
      quoted = !quoted;
    }
  }
  return !quoted;
}

// Names that the shell, the C library or the dynamic loader reads from the environment to decide
// how to run a command, or that bash turns into functions. The locale (LANG, LC_*, LOCPATH)
// decides which bytes bash reads as one character, so that a backslash or a quote in the command
// may end up inside one and stop quoting; bash expands the translation of a $"..." string, which
// TEXTDOMAIN and TEXTDOMAINDIR choose, as if it were in double quotes; HOME is what ~ and cd lead
// to; GCONV_PATH loads code into any program that converts characters, NLSPATH and LANGUAGE
// (which may climb out of the system's catalogues with "..") give programs their message formats,
// GLIBC_TUNABLES sets up the loader.
static const char *const kRunningPrefixes[] = {"LD_", "BASH", "LC_"};
static const char *const kRunningNames[] = {
    "ENV",        "PS4",           "IFS",        "CDPATH",         "GLOBIGNORE", "EXECIGNORE",
    "PATH",       "HOME",          "SHELLOPTS",  "PROMPT_COMMAND", "LANG",       "LOCPATH",
    "TEXTDOMAIN", "TEXTDOMAINDIR", "GCONV_PATH", "NLSPATH",        "LANGUAGE",   "GLIBC_TUNABLES"};

static bool changes_how_commands_run(const char *name, size_t len) {
  for (const char *prefix : kRunningPrefixes)
    if (len >= strlen(prefix) && strncmp(name, prefix, strlen(prefix)) == 0)
      return true;
  for (const char *known : kRunningNames)
    if (len == strlen(known) && strncmp(name, known, len) == 0)
      return true;
  return false;
}

// Walks the items as feature_export's split does: a backslash keeps the next character, a double
// quote opens or closes a quote, a "," outside quotes ends the item.
const char *feature_refused_item(const ArchiveHeader &h, const char **why) {
  const char *item = h.features;
  bool in_name = true, quoted = false;
  for (const char *p = h.features;; ++p) {
    if (in_name && (*p == '"' || *p == '\\')) {
      *why = "its name holds a double quote or a backslash";
      return item;
    }
    // An item without "=" is exported by its name less its trailing blanks.
    size_t len = static_cast<size_t>(p - item);
    if (in_name && (*p == '=' || *p == ',' || !*p) &&
        changes_how_commands_run(item, *p == '=' ? len : untrailed_length(item, len))) {
      *why = "it changes how the run command's shell or the loader runs it";
      return item;
    }
    if (!*p)
      return nullptr;
    if (*p == '\\') {
      if (!*++p)
        return nullptr;
    } else if (*p == '"') {
      quoted = !quoted;
    } else if (*p == '=') {
      in_name = false;
    } else if (*p == ',' && !quoted) {
      in_name = true;
      item = p + 1;
    }
  }
}

void feature_export(const ArchiveHeader &h) {
  void **items = strsplit(h.features, ",");
  if (!items)
    return;
  for (void **slot = items; *slot; ++slot) {
    char *item = static_cast<char *>(*slot);
    trim_trailing(item);
    // putenv keeps the string itself, so each entry is a heap copy that is never freed.
    size_t len = strlen(item);
    char *entry = static_cast<char *>(malloc(len + 2));
    if (!entry)
      continue;
    if (strchr(item, '='))
      memcpy(entry, item, len + 1);
    else
      snprintf(entry, len + 2, "%s=", item);
    putenv(entry);
  }
  aplist_free(items);
}

} // namespace vardo

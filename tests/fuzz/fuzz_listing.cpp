// The listing of one archive made from the input.
#include "extract/listing.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int first_fd = vardo::fuzz::begin_input();
  const char *path = vardo::fuzz::write_input(data, size);
  vardo::ExtractOptions options;
  options.verbose = size > 0 && data[size - 1] & 1;
  if (setjmp(vardo::fuzz::abort_jump) == 0) {
    int fd = vardo::open_archive(vardo::fuzz::header, path, &vardo::fuzz::integrity.tap);
    if (fd >= 0)
      vardo::list_archive(vardo::fuzz::header, options, vardo::fuzz::stream, vardo::fuzz::integrity,
                          fd, path);
  }
  fflush(stdout);
  vardo::fuzz::end_input(first_fd);
  return 0;
}

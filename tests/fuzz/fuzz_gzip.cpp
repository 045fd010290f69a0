// The gzip member reader: read_gzip_header and inflate_payload from a descriptor holding the
// input, output to /dev/null.
#include "fuzz_support.h"
#include "gzstream/gzip_reader.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int first_fd = vardo::fuzz::begin_input();
  const char *path = vardo::fuzz::write_input(data, size);
  if (setjmp(vardo::fuzz::abort_jump) == 0) {
    vardo::stream.in_fd = open(path, O_RDONLY);
    strcpy(vardo::stream.in_name, "fuzz.gz");
    strcpy(vardo::stream.out_name, "stdout");
    if (size > 0 && data[0] & 1)
      vardo::process.verbose = 1;
    if (vardo::read_gzip_header() == 8)
      vardo::inflate_payload(vardo::stream.in_fd, open("/dev/null", O_WRONLY));
  }
  vardo::fuzz::end_input(first_fd);
  return 0;
}

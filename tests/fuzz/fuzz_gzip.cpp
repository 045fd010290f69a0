// The gzip member reader: read_gzip_header and inflate_payload from a descriptor holding the
// input, output to /dev/null.
#include "fuzz_support.h"
#include "gzstream/gzip_reader.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int first_fd = vardo::fuzz::begin_input();
  const char *path = vardo::fuzz::write_input(data, size);
  if (setjmp(vardo::fuzz::abort_jump) == 0) {
    vardo::StreamState &s = vardo::fuzz::stream;
    s.in_fd = open(path, O_RDONLY);
    strcpy(s.in_name, "fuzz.gz");
    strcpy(s.out_name, "stdout");
    bool verbose = size > 0 && data[0] & 1;
    vardo::GzipMember member;
    member.name = s.out_name;
    if (vardo::read_gzip_header(s, &member, verbose) == 8) {
      s.out_fd = vardo::kNoOutput;
      vardo::inflate_payload(s, member, verbose);
    }
  }
  vardo::fuzz::end_input(first_fd);
  return 0;
}

// The archive reader: open_archive on a file made from the input.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int first_fd = vardo::fuzz::begin_input();
  const char *path = vardo::fuzz::write_input(data, size);
  if (setjmp(vardo::fuzz::abort_jump) == 0) {
    int fd = vardo::open_archive(vardo::fuzz::header, path, nullptr);
    if (fd >= 0 && vardo::fuzz::header.payload_offset > static_cast<int32_t>(size))
      abort(); // the payload cannot start beyond the end of the file
  }
  vardo::fuzz::end_input(first_fd);
  return 0;
}

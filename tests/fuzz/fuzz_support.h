// Shared ground of the fuzz targets: a fresh header and stream for every input, the input in a
// file, and a way back to the fuzzer from the abort path.
#pragma once
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "archive/header.h"
#include "archive/integrity.h"
#include "gzstream/stream.h"
#include "gzstream/workers.h"
#include "lib/mnttab.h"
#include "lib/process.h"

namespace vardo::fuzz {

inline jmp_buf abort_jump;

// What the tool's driver holds for a run.
inline ArchiveHeader header;
inline StreamState stream;
inline Integrity integrity;

[[noreturn]] inline void jump_back() { longjmp(abort_jump, 1); }

// Starts afresh: the process status, the header, the stream and the mount table cursor. Points
// the abort path back at the fuzzer and returns the lowest free descriptor, so that end_input can
// close what the input left open.
inline int begin_input() {
  process = ProcessState{};
  process.program_name = "fuzz";
  header = ArchiveHeader{};
  stream = StreamState{};
  integrity = Integrity{};
  mnttab_close();
  set_worker_count(1); // members are decoded in the fuzzer's own process
  abort_hook = jump_back;
  int fd = dup(2);
  close(fd);
  return fd;
}

inline void end_input(int first_fd) {
  for (int fd = first_fd; fd < first_fd + 16; ++fd)
    close(fd);
}

// Writes the input to a file of this process that can be opened as an archive (executable, so
// that locate_program takes the absolute name as it stands).
inline std::string &input_path() {
  static std::string path = "/tmp/vardo-fuzz-" + std::to_string(getpid());
  return path;
}

inline void remove_input() { unlink(input_path().c_str()); }

inline const char *write_input(const uint8_t *data, size_t size) {
  static const int registered = atexit(remove_input);
  (void)registered;
  const std::string &path = input_path();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0700);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
    abort();
  close(fd);
  return path.c_str();
}

} // namespace vardo::fuzz

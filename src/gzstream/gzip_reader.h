#pragma once
#include <cstdint>
#include <sys/types.h>

namespace vardo {

// Reads and checks the gzip member header at the current input. Returns 8, with the input
// positioned at the DEFLATE stream, or -1 after a message (exit status 1). May set the output
// name to the stored file name and the time stamp to MTIME.
int read_gzip_header();

// Inflates one member from `in_fd` (the input buffer first) to `out_fd` and verifies its CRC32,
// and its ISIZE against the output byte count or the member's own length. Returns 0; every
// failure takes the abort path.
int inflate_member(int in_fd, int out_fd);

// Inflates the member whose header has been read and every gzip member that follows it, each
// checked on its own, up to the end of the source. Bytes after a member that are not a whole
// gzip member are an error. Returns 0; every failure takes the abort path.
int inflate_payload(int in_fd, int out_fd);

// Reads the gzip trailer in the last 8 bytes of the file `fd`: CRC32 and ISIZE, least
// significant byte first. Returns the trailer's offset; a file too short for one ends the
// process with the read-error report.
off_t read_final_trailer(int fd, uint32_t *crc, uint32_t *size);

} // namespace vardo

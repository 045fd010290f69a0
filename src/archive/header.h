// The archive layout, byte by byte:
//
//   offset                      length   content
//   0                           P        preamble: a copy of the tool's executable file
//   P                           11       the preamble magic value (see make_magic), no NUL
//   P + 11                      L1 + 1   feature string and its NUL
//   P + 12 + L1                 L2 + 1   comment and its NUL
//   P + 13 + L1 + L2            L3 + 1   run command and its NUL
//   P + 14 + L1 + L2 + L3       L4 + 1   extract command and its NUL
//   P + 15 + L1 + L2 + L3 + L4  rest     payload: gzip members, or the raw input bytes
//
// There is no length field, count or checksum: the NUL bytes alone delimit the header strings,
// and the payload runs to the end of the file (its last 8 bytes are read as a gzip trailer).
#pragma once
#include <cstdint>

#include "gzstream/stream.h"
#include "gzstream/tap.h"

namespace vardo {

constexpr int kHeaderStringSize = 1024;
constexpr int kMagicSize = 11;

// The four header strings and where the payload starts. A run holds one, which the mode probe
// fills from the archive (or a build from the options); only this layer writes it.
struct ArchiveHeader {
  char features[kHeaderStringSize] = {};
  char comment[kHeaderStringSize] = {};
  char run_command[kHeaderStringSize] = {};
  char extract_command[kHeaderStringSize] = {};
  int32_t payload_offset = 0;
};

// Returns the 11-byte magic value (no terminator). It is assembled at run time one byte at a time
// so that the sequence never stands in one piece in the executable: the plain tool must not find
// it in itself, and in an archive the first occurrence must be the one after the preamble.
const char *make_magic();

// Resolves a program or archive name to a path that can be opened: the name itself when it is
// executable or begins with ".", else the first executable "element/name" along PATH. The result
// lives in a buffer that the next call overwrites; null when nothing resolves.
const char *locate_program(const char *name);

// Writes the preamble file, the magic and the four header strings of `h` to the output of `s`.
// Returns 0, or -1 after a message when the preamble cannot be resolved, read or written.
int write_preamble(const ArchiveHeader &h, const char *preamble_name, const StreamState &s);

// Opens the running program's own file read-only: the file the system is executing, whatever
// argv[0] says, so that a file of the same name in the current directory or along PATH is never
// taken for it. Sets *path to its name. Returns the descriptor; -1 after a message when the
// system cannot name the file (*path is then null), or -1 with errno set when it cannot be opened.
int open_own_file(const char **path);

// Finds the magic in the file open on `fd` (named `path` in messages) and reads the header
// strings into `h`. Returns 0 with the descriptor positioned at the payload, or -1 (after a
// message for a file that cannot be read or a header string that does not fit; no magic is no
// message). When `fd` is a pipe, which can be read only once, the tap (when given) is started and
// takes every byte read.
int read_archive_header(ArchiveHeader &h, int fd, const char *path, DigestTap *tap);

// Opens the archive `name`, looked up with locate_program, and reads its header into `h` as
// read_archive_header does. Returns a read-only descriptor positioned at the payload, or -1 with
// no descriptor left open.
int open_archive(ArchiveHeader &h, const char *name, DigestTap *tap);

// The bytes of the magic and the header strings of `h` as they stand in the file: at most
// kHeaderBlockSize, written to `out`. Returns their count.
constexpr int kHeaderBlockSize = kMagicSize + 4 * kHeaderStringSize;
int format_header_block(const ArchiveHeader &h, char out[kHeaderBlockSize]);

} // namespace vardo

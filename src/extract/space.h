// Free-space verification before extraction, and relocation of the extraction directory onto
// another filesystem through a temporary symbolic link.
#pragma once
#include <sys/types.h>

namespace vardo {

constexpr int kLinkPathSize = 512;

// Checks that the filesystem of the archive's "VFYFS=" directory has `required_mb` megabytes
// free. Returns 0 to go on: `link_path` (512 bytes) is then empty, or names the temporary link
// that the caller removes when it is done. Returns -1, after its messages, to refuse.
int verify_extract_space(int required_mb, char *link_path);

// Creates every missing directory of the absolute `path` with exactly `mode`. Returns 0 when all
// exist afterwards, else -1.
int make_dir_path(const char *path, mode_t mode);

} // namespace vardo

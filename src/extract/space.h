// Free-space verification before extraction: the filesystem of the archive's "VFYFS=" directory
// must have room, or the extraction directory is moved onto another filesystem (the temporary
// path, then each mounted filesystem with room in turn) through the temporary link.
#pragma once

#include "extract/extract.h"

namespace vardo {

// The longest path of the link and of a candidate's directory, with its NUL.
constexpr size_t kLinkPathSize = 512;

// Checks that the filesystem of the "VFYFS=" directory of `h` has `required_mb` megabytes free,
// relocating the extraction when it has not (below the options' temporary path first, asking in
// verbose mode). Returns 0 to go on, the temporary link then perhaps standing until
// remove_temporary_link, `relocated` naming the directory it leads to (empty when none) and
// `work_dir` the directory the commands work in (V/S, or where the link leads); -1, after its
// messages, to refuse.
int verify_extract_space(const ArchiveHeader &h, const ExtractOptions &options, int required_mb,
                         char (&relocated)[kLinkPathSize], char (&work_dir)[kLinkPathSize]);

} // namespace vardo

// Free space of the filesystem that holds a path.
#pragma once
#include <cstdint>

namespace vardo {

enum FsinfoMode { kFsinfoPercent = 1, kFsinfoMegabytes = 2 };

// Returns 1 when the filesystem holding `path` has at least `required` (percent of its blocks,
// or megabytes, by `mode`) free, 0 when not, -1 when the path cannot be queried or the mode is
// unknown. Sets *root (the path lies on the root filesystem) and *free_mb before looking at the
// mode; neither is written when the path cannot be queried.
int fsinfo_check_space(int mode, const char *path, int required, int *root, int *free_mb);
// The arithmetic of the checks: whole free megabytes from the fragment size and a count of
// fragments, and the free percentage from the total and free counts.
int fsinfo_megabytes(unsigned long fragment_size, uint32_t blocks);
int fsinfo_percent(uint32_t total, uint32_t avail);

int fsinfo_check_mb(const char *path, int required_mb, int *root, int *free_mb);
int fsinfo_check_pct(const char *path, int required_pct, int *root, int *free_mb);

} // namespace vardo

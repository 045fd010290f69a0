#include "lib/fsinfo.h"

#include <algorithm>
#include <cstdint>
#include <sys/stat.h>

#include "lib/platform.h"

namespace vardo {

// Block counts are 32-bit in this design; a count beyond that is held at the largest value
// rather than wrapped, so a very large filesystem never looks nearly full.
static uint32_t count32(fsblkcnt_t n) {
  return static_cast<uint32_t>(std::min<fsblkcnt_t>(n, UINT32_MAX));
}

int fsinfo_megabytes(unsigned long fragment_size, uint32_t blocks) {
  // A fragment smaller than 512 bytes counts as 512.
  unsigned long unit = std::max<unsigned long>(fragment_size, 512) / 512;
  if (unit == 0)
    unit = 1;
  unsigned long blocks_per_mb = std::max<unsigned long>(2048 / unit, 1);
  return static_cast<int>(blocks / blocks_per_mb);
}

int fsinfo_percent(uint32_t total, uint32_t avail) {
  if (total == 0)
    return 0;
  // The quotient is kept in single precision, the product with 100 is formed in double.
  float total_f = static_cast<float>(total);
  float share = static_cast<float>(avail) / total_f;
  return static_cast<int>(static_cast<double>(share) * 100.0);
}

int fsinfo_check_space(int mode, const char *path, int required, int *root, int *free_mb) {
  FsStats fs;
  if (platform_fs_stats(path, &fs) < 0)
    return -1;
  struct stat path_st, root_st;
  *root = stat(path, &path_st) == 0 && stat("/", &root_st) == 0 && path_st.st_dev == root_st.st_dev;
  uint32_t avail = count32(fs.available);
  *free_mb = fsinfo_megabytes(fs.fragment_size, avail);
  if (mode == kFsinfoPercent)
    return required <= fsinfo_percent(count32(fs.blocks), avail) ? 1 : 0;
  if (mode == kFsinfoMegabytes)
    return required <= *free_mb ? 1 : 0;
  return -1;
}

int fsinfo_check_mb(const char *path, int required_mb, int *root, int *free_mb) {
  return fsinfo_check_space(kFsinfoMegabytes, path, required_mb, root, free_mb);
}

int fsinfo_check_pct(const char *path, int required_pct, int *root, int *free_mb) {
  return fsinfo_check_space(kFsinfoPercent, path, required_pct, root, free_mb);
}

} // namespace vardo

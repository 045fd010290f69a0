#include "lib/process.h"

#include <cstdlib>

namespace vardo {

ProcessState process;
AbortHook abort_hook = nullptr;

// The clean-ups that stand, in the order they were registered.
struct AbortCleanups {
  AbortCleanup cleanup[4] = {};
  int count = 0;
};

static AbortCleanups cleanups;

void on_abort(AbortCleanup cleanup) {
  if (cleanups.count < 4)
    cleanups.cleanup[cleanups.count++] = cleanup;
}

void cancel_on_abort(AbortCleanup cleanup) {
  int kept = 0;
  for (int i = 0; i < cleanups.count; ++i)
    if (cleanups.cleanup[i] != cleanup)
      cleanups.cleanup[kept++] = cleanups.cleanup[i];
  cleanups.count = kept;
}

void abort_exit(bool write_failed) {
  // Each clean-up is taken off before it runs, so that one that fails into the abort path again
  // does not run twice.
  while (cleanups.count > 0)
    cleanups.cleanup[--cleanups.count](write_failed);
  if (abort_hook)
    abort_hook();
  exit(1);
}

} // namespace vardo

#include "gzstream/progress.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "lib/process.h"

namespace vardo {

struct ProgressState {
  bool active = false;  // a payload is being read and standard error is a terminal
  bool drawn = false;   // a line stands on the screen and must be erased
  uint64_t total = 0;   // payload bytes
  uint64_t done = 0;    // payload bytes read so far
  uint64_t checked = 0; // `done` when the clock was last read
  timespec start = {};
  timespec drawn_at = {};
};

static ProgressState progress;

// The clock is read once per this many bytes, and the line redrawn at most every kRedrawNs.
constexpr uint64_t kCheckBytes = 1u << 20;
constexpr int64_t kRedrawNs = 250 * 1000 * 1000;

static int64_t nanoseconds_between(const timespec &a, const timespec &b) {
  return (b.tv_sec - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec);
}

// Writes `text` to standard error directly: the line must show at once, and nothing may stay
// in a stdio buffer to mix with the messages.
static void put(const char *text, int len) {
  if (len > 0 && write(STDERR_FILENO, text, static_cast<size_t>(len)) < 0)
    progress.active = false; // a terminal that cannot be written to shows nothing more
}

// Sizes in MiB with one decimal, computed in whole tenths.
static void draw(const timespec &now) {
  uint64_t percent = progress.done * 100 / progress.total;
  int64_t elapsed_ms = nanoseconds_between(progress.start, now) / 1000000;
  uint64_t rate_tenths = elapsed_ms > 0 ? progress.done * 10000 / 1048576 / elapsed_ms : 0;
  uint64_t done_tenths = progress.done * 10 / 1048576;
  char line[96];
  int len = snprintf(line, sizeof line, "\r%3llu%%  %llu.%llu MiB  %llu.%llu MiB/s\033[K",
                     static_cast<unsigned long long>(percent > 100 ? 100 : percent),
                     static_cast<unsigned long long>(done_tenths / 10),
                     static_cast<unsigned long long>(done_tenths % 10),
                     static_cast<unsigned long long>(rate_tenths / 10),
                     static_cast<unsigned long long>(rate_tenths % 10));
  put(line, len);
  progress.drawn = true;
  progress.drawn_at = now;
}

static void end_on_abort(bool) { progress_end(); }

void progress_start(uint64_t total) {
  progress = ProgressState{};
  if (total < kProgressThreshold || !isatty(STDERR_FILENO))
    return;
  progress.active = true;
  progress.total = total;
  on_abort(end_on_abort); // the screen ends with exactly the messages it would hold without it
  clock_gettime(CLOCK_MONOTONIC, &progress.start);
  // The line shows at once, however fast the payload then goes by.
  draw(progress.start);
}

void progress_advance(uint64_t n) {
  if (!progress.active)
    return;
  progress.done += n;
  if (progress.done - progress.checked < kCheckBytes)
    return;
  progress.checked = progress.done;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (nanoseconds_between(progress.drawn_at, now) >= kRedrawNs)
    draw(now);
}

void progress_clear() {
  if (!progress.drawn)
    return;
  put("\r\033[K", 4);
  progress.drawn = false;
}

void progress_end() {
  progress_clear();
  cancel_on_abort(end_on_abort);
  progress = ProgressState{};
}

} // namespace vardo

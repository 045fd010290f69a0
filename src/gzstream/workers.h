// Worker processes that do jobs on the slots of a shared mapping, for the compressor and the
// decoder of whole members. The calling process fills a slot, hands its number out through one
// pipe that every idle worker reads, and learns from each worker's own pipe which job is done; a
// slot's job depends on the slot alone, never on which worker did it or when.
//
// The workers are processes forked from the caller, not threads: they share the slots through a
// shared mapping and need nothing of the C library but _Fork, pipes and poll, which cost the
// executable (the preamble of every archive) next to nothing. A worker ends when the job pipe
// reaches its end: when the work is done, or when the caller is gone, whichever way it ended.
// With one worker wanted, or before the workers are started, the caller does each job itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "gzstream/stream.h"

namespace vardo {

// At most this many workers, whatever the processors.
constexpr int kMaxWorkers = 64;

// A job: done on `slot` in a worker, or in the caller, with a workspace of its own (the worker's
// copy of the caller's). Returns false when it failed.
using WorkerJob = bool (*)(void *slot, ZlibWorkspace &workspace);

struct Workers {
  WorkerJob job = nullptr;
  const char *lost = nullptr; // the message when a worker is lost
  int wanted = 1;
  int slots = 2;
  size_t slot_size = 0;
  unsigned char *mapping = nullptr; // the slots, then one state byte per slot
  size_t mapped = 0;
  bool started = false;
  int running = 0;
  int jobs = -1; // the writing end of the job pipe
  pid_t pid[kMaxWorkers];
  int done[kMaxWorkers]; // the reading end of each worker's pipe
};

// Maps `slots` slots of `slot_size` bytes each for `wanted` workers that do `job`; ends the
// process with the fatal error of `s` when there is no memory. Nothing is started yet.
void workers_map(const StreamState &s, Workers &w, int wanted, int slots, size_t slot_size,
                 WorkerJob job, const char *lost);

// Slot n % slots: job n's.
void *workers_slot(Workers &w, uint64_t n);

// Hands job n out, starting the workers first when `start` is set and they are not; the caller
// does it at once when there are none. Ends the process when a worker is lost.
void workers_hand_out(StreamState &s, Workers &w, uint64_t n, bool start);

// Waits for job n, which was handed out. Returns whether it succeeded; a lost worker ends the
// process.
bool workers_await(const StreamState &s, Workers &w, uint64_t n);

// Ends the job pipe and with it the workers, and checks that each ended of itself. The slots stay
// mapped, for workers started again.
void workers_stop(const StreamState &s, Workers &w);

// Unmaps the slots of workers that were stopped.
void workers_unmap(Workers &w);

// The number of workers to start: the processors this process may run on (its affinity mask), at
// most kMaxWorkers, or the number set for tests.
int worker_count();

// For tests: `n` workers from now on, whatever the processors; 0 goes back to the processors.
void set_worker_count(int n);

} // namespace vardo

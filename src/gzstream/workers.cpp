#include "gzstream/workers.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "gzstream/diagnostics.h"

namespace vardo {

namespace {

// What has become of a job that was handed out.
constexpr unsigned char kQueued = 0, kSucceeded = 1, kFailed = 2;

int count_override = 0;

// The state passes between processes: atomically (through the compiler's builtins, since this
// libstdc++'s <atomic> does not build against musl), and what the job wrote before its state is
// seen with it. Only an atomic that needs no lock works across processes.
static_assert(__atomic_always_lock_free(sizeof(unsigned char), 0));

unsigned char &state_byte(Workers &w, uint64_t n) {
  return w.mapping[w.slots * w.slot_size + n % static_cast<uint64_t>(w.slots)];
}

unsigned char state_of(Workers &w, uint64_t n) {
  return __atomic_load_n(&state_byte(w, n), __ATOMIC_ACQUIRE);
}

void run_job(Workers &w, uint64_t n, ZlibWorkspace &workspace) {
  bool ok = w.job(workers_slot(w, n), workspace);
  __atomic_store_n(&state_byte(w, n), ok ? kSucceeded : kFailed, __ATOMIC_RELEASE);
}

// A worker: does the jobs whose numbers it reads, reporting each back, until the job pipe ends or
// the report cannot be written. It leaves by _exit: the exit handlers and the stdio buffers
// belong to the calling process.
[[noreturn]] void work(Workers &w, int jobs, int report, ZlibWorkspace &workspace) {
  uint64_t n;
  while (read(jobs, &n, sizeof n) == sizeof n) {
    run_job(w, n, workspace);
    if (write(report, &n, sizeof n) != sizeof n)
      break;
  }
  _exit(0);
}

// Closes every descriptor above standard error but `a` and `b`, as far as the process may have
// them open. A worker holds nothing of the caller's: not the job pipe's writing end, which it
// would never see end, nor the pipe into an extract command, which would wait for the worker's
// end as the caller waits for the command's on the abort path.
void keep_only(int a, int b) {
  if (a > b)
    std::swap(a, b);
  int ends[][2] = {{3, a - 1}, {a + 1, b - 1}, {b + 1, -1}};
  for (auto &range : ends) {
    if (range[0] > range[1] && range[1] != -1)
      continue;
    if (syscall(SYS_close_range, range[0], static_cast<unsigned>(range[1]), 0) == 0)
      continue;
    // Before Linux 5.9: one by one, up to the hard limit of open descriptors (the soft one may
    // have been lowered below descriptors already open).
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    long last = range[1] == -1 ? static_cast<long>(std::min<rlim_t>(limit.rlim_max, INT_MAX)) - 1
                               : range[1];
    for (long fd = range[0]; fd <= last; ++fd)
      close(static_cast<int>(fd));
  }
}

// Forks worker i. The worker calls nothing but its job and system calls, so _Fork serves: no fork
// handlers, no locks of the C library taken around it. Returns false when the system refuses.
bool start_worker(StreamState &s, Workers &w, int i, const int job_pipe[2]) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) < 0)
    return false;
  pid_t pid = _Fork();
  if (pid == 0) {
    keep_only(job_pipe[0], report[1]);
    work(w, job_pipe[0], report[1], s.zlib);
  }
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    return false;
  }
  w.pid[i] = pid;
  w.done[i] = report[0];
  return true;
}

// Starts the workers. Where the system refuses a worker, fewer work; where it refuses all, the
// caller does the jobs.
void start_workers(StreamState &s, Workers &w) {
  w.started = true;
  int job_pipe[2];
  if (w.wanted == 1 || pipe2(job_pipe, O_CLOEXEC) < 0)
    return;
  while (w.running < w.wanted && start_worker(s, w, w.running, job_pipe))
    ++w.running;
  close(job_pipe[0]);
  if (w.running > 0)
    w.jobs = job_pipe[1];
  else
    close(job_pipe[1]);
}

// Waits until some worker reports a job done. A worker whose pipe ends has been lost.
void await_report(const StreamState &s, Workers &w) {
  pollfd fds[kMaxWorkers];
  for (int i = 0; i < w.running; ++i)
    fds[i] = {w.done[i], POLLIN, 0};
  int ready = poll(fds, static_cast<nfds_t>(w.running), -1);
  if (ready < 0 && errno != EINTR)
    fatal_error(s, "out of memory"); // poll's only failure with these descriptors
  for (int i = 0; ready > 0 && i < w.running; ++i) {
    uint64_t n;
    if (fds[i].revents && read(fds[i].fd, &n, sizeof n) != sizeof n)
      fatal_error(s, w.lost);
  }
}

int processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  return CPU_COUNT(&set);
}

} // namespace

void workers_map(const StreamState &s, Workers &w, int wanted, int slots, size_t slot_size,
                 WorkerJob job, const char *lost) {
  w.job = job;
  w.lost = lost;
  w.wanted = wanted;
  w.slots = slots;
  w.slot_size = (slot_size + 63) & ~size_t{63}; // each slot on cache lines of its own
  w.mapped = w.slots * (w.slot_size + 1);
  void *p = mmap(nullptr, w.mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED)
    fatal_error(s, "out of memory");
  w.mapping = static_cast<unsigned char *>(p);
}

void *workers_slot(Workers &w, uint64_t n) {
  return w.mapping + n % static_cast<uint64_t>(w.slots) * w.slot_size;
}

void workers_hand_out(StreamState &s, Workers &w, uint64_t n, bool start) {
  if (start && !w.started)
    start_workers(s, w);
  if (w.running == 0) {
    run_job(w, n, s.zlib);
    return;
  }
  state_byte(w, n) = kQueued;
  // A write of 8 bytes to a pipe is atomic, and each worker reads 8 at a time.
  if (write_fully(w.jobs, &n, sizeof n) < 0)
    fatal_error(s, w.lost);
}

bool workers_await(const StreamState &s, Workers &w, uint64_t n) {
  while (state_of(w, n) == kQueued)
    await_report(s, w);
  return state_of(w, n) == kSucceeded;
}

// A worker that did not end of itself was lost. (The driver puts SIGCHLD back to its default
// first: ignored, it would take the statuses away.)
void workers_stop(const StreamState &s, Workers &w) {
  bool lost = false;
  if (w.running > 0) {
    close(w.jobs);
    for (int i = 0; i < w.running; ++i) {
      int status;
      lost |= waitpid(w.pid[i], &status, 0) < 0 || status != 0;
      close(w.done[i]);
    }
  }
  w.started = false;
  w.running = 0;
  w.jobs = -1;
  if (lost)
    fatal_error(s, w.lost);
}

void workers_unmap(Workers &w) {
  munmap(w.mapping, w.mapped);
  w = Workers{};
}

int worker_count() {
  return std::clamp(count_override > 0 ? count_override : processors(), 1, kMaxWorkers);
}

void set_worker_count(int n) { count_override = n; }

} // namespace vardo

// The input of a member is cut into blocks of 128 KiB, and each block is compressed on its own by
// zlib: raw DEFLATE at level 9, window bits -15 (a 32 KiB window, no zlib wrapper), memory level
// 8, the default strategy, with the last 32 KiB of the block before it as its dictionary, so that
// matches still reach back across the cut and the stream comes out hardly larger than one long
// stream. Every block but the last ends with Z_SYNC_FLUSH, which closes its DEFLATE blocks and
// adds an empty stored block, so that its bytes end on a byte boundary and the next block's can
// simply follow; the last ends with Z_FINISH, which marks the final DEFLATE block. The compressed
// pieces are written in input order.
//
// A block's bytes depend on its own input and dictionary alone, never on which worker compressed
// it or when, so the stream is the same with one worker or sixteen. An input of one block or less
// is compressed by the calling process without starting any: zlib then sees the whole input with
// Z_FINISH and no dictionary, which gives the very bytes of one zlib stream over it.
//
// The workers are processes forked from this one, not threads: they share the blocks through a
// shared mapping and need nothing of the C library but _Fork, pipes and poll, which cost the
// executable (the preamble of every archive) next to nothing. Threads, with a mutex and condition
// variables, cost it 7.3 KiB (AArch64) to 7.9 KiB (x86-64) more, which takes the AArch64 preamble
// past 160 KiB. The calling process reads the input through read_source (which keeps the member
// CRC, the byte count and the progress line), hands block numbers out through one pipe that every
// idle worker reads, learns from each worker's own pipe what it has finished, and writes the
// pieces through the output buffer. A worker ends when the job pipe reaches its end: when the
// member is done, or when this process is gone, whichever way it ended. Memory is fixed per worker,
// whatever the size of the input: two blocks of 289 KiB (input and compressed piece) and its copy
// of the zlib workspace.
#include "gzstream/parallel_deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "gzstream/diagnostics.h"
#include "gzstream/gzip_writer.h"
#include "gzstream/zlib_memory.h"

namespace vardo {

namespace {

// The DEFLATE window: as far back as a block's matches can reach into the one before it.
constexpr size_t kDictionarySize = 32 * 1024;
// zlib stores a DEFLATE block as it is when that is shorter, so a piece is never longer than its
// input plus 5 bytes of header for each stored block (one per 16 K symbols at memory level 8),
// then the 5-byte empty stored block of Z_SYNC_FLUSH: 1 KiB more than a block holds it.
constexpr size_t kPieceSize = kDeflateBlockSize + 1024;

// What has become of a block that was handed out.
constexpr unsigned char kQueued = 0, kCompressed = 1, kFailed = 2;

// A block in the shared mapping. The calling process fills in the input and hands the block's
// number out; a worker writes the piece, then the state, before it reports the number back.
struct Block {
  // The last 32 KiB of the block before, then this block's input: the dictionary is copied in
  // when the block is read, so that the block before can be written and its slot reused.
  unsigned char data[kDictionarySize + kDeflateBlockSize];
  unsigned char piece[kPieceSize]; // the compressed bytes
  uint32_t size;                   // input bytes after the dictionary
  uint32_t piece_size;
  bool dictionary; // false for the first block, which has nothing before it
  bool last;
  unsigned char state;
};

// The compression of one member. Blocks are numbered from 0 in input order; block n lives in slot
// n % slots, which is free again once block n is written.
struct Compressor {
  int wanted = 1; // workers; one means the calling process compresses
  int slots = 2;
  Block *blocks = nullptr;
  size_t mapped = 0; // bytes
  bool started = false;
  int workers = 0;     // running
  int jobs = -1;       // the writing end of the job pipe
  uint64_t handed = 0; // blocks handed out to be compressed
  pid_t pid[kMaxDeflateWorkers];
  int done[kMaxDeflateWorkers]; // the reading end of each worker's pipe
};

int worker_override = 0;

constexpr char kLostWorker[] = "a compressing process was lost";

Block &block(Compressor &c, uint64_t n) { return c.blocks[n % static_cast<uint64_t>(c.slots)]; }

// The state passes between processes: atomically (through the compiler's builtins, since this
// libstdc++'s <atomic> does not build against musl), and the piece written before a state is seen
// with it. Only an atomic that needs no lock works across processes.
static_assert(__atomic_always_lock_free(sizeof(unsigned char), 0));

unsigned char state_of(const Block &b) { return __atomic_load_n(&b.state, __ATOMIC_ACQUIRE); }

void set_state(Block &b, bool compressed) {
  __atomic_store_n(&b.state, compressed ? kCompressed : kFailed, __ATOMIC_RELEASE);
}

// Compresses the block in a fresh zlib stream: zlib's match search reads up to 258 bytes past
// the end of the data, which a fresh stream has zeroed but a reused one would hold from whatever
// it compressed before. Returns false when zlib fails.
bool compress_block(ZlibWorkspace &w, Block &b) {
  z_stream z = {};
  use_zlib_workspace(&z, w);
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  int ret = Z_OK;
  if (b.dictionary)
    ret = deflateSetDictionary(&z, b.data, kDictionarySize);
  z.next_in = b.data + kDictionarySize;
  z.avail_in = b.size;
  z.next_out = b.piece;
  z.avail_out = kPieceSize;
  if (ret == Z_OK)
    ret = deflate(&z, b.last ? Z_FINISH : Z_SYNC_FLUSH);
  b.piece_size = static_cast<uint32_t>(kPieceSize - z.avail_out);
  deflateEnd(&z);
  // A flush that filled the piece has not finished.
  return b.last ? ret == Z_STREAM_END : ret == Z_OK && z.avail_out > 0;
}

// A worker: compresses the blocks whose numbers it reads, reporting each back, until the job pipe
// ends or the report cannot be written. It leaves by _exit: the exit handlers and the stdio
// buffers belong to the calling process.
[[noreturn]] void work(Compressor &c, int jobs, int report, ZlibWorkspace &w) {
  uint64_t n;
  while (read(jobs, &n, sizeof n) == sizeof n) {
    Block &b = block(c, n);
    set_state(b, compress_block(w, b));
    if (write(report, &n, sizeof n) != sizeof n)
      break;
  }
  _exit(0);
}

// Maps the blocks, shared with the workers: two per worker, so that the next block waits while a
// worker compresses one; without workers, the block being compressed and the one read after it.
void map_blocks(const StreamState &s, Compressor &c) {
  c.slots = 2 * c.wanted;
  c.mapped = c.slots * sizeof(Block);
  void *p = mmap(nullptr, c.mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED)
    fatal_error(s, "out of memory");
  c.blocks = static_cast<Block *>(p);
}

// Forks worker i, which keeps of the pipes only the reading end of the job pipe and the writing end
// of its own: a worker that held the job pipe's writing end would never see it end. The worker
// calls nothing but zlib and system calls, so _Fork serves: no fork handlers, no locks of the C
// library taken around it. Returns false when the system refuses.
bool start_worker(StreamState &s, Compressor &c, int i, const int job_pipe[2]) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) < 0)
    return false;
  pid_t pid = _Fork();
  if (pid == 0) {
    close(job_pipe[1]);
    close(report[0]);
    for (int k = 0; k < i; ++k)
      close(c.done[k]);
    work(c, job_pipe[0], report[1], s.zlib);
  }
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    return false;
  }
  c.pid[i] = pid;
  c.done[i] = report[0];
  return true;
}

// Starts the workers, once the input has proved longer than one block. Where the system refuses a
// worker, fewer compress; where it refuses all, the calling process does.
void start_workers(StreamState &s, Compressor &c) {
  c.started = true;
  int job_pipe[2];
  if (c.wanted == 1 || pipe2(job_pipe, O_CLOEXEC) < 0)
    return;
  while (c.workers < c.wanted && start_worker(s, c, c.workers, job_pipe))
    ++c.workers;
  close(job_pipe[0]);
  if (c.workers > 0)
    c.jobs = job_pipe[1];
  else
    close(job_pipe[1]);
}

// Ends the job pipe, and with it the workers. A worker that did not end of itself was lost. (The
// driver puts SIGCHLD back to its default first: ignored, it would take the statuses away.)
void stop_workers(const StreamState &s, Compressor &c) {
  if (c.workers == 0)
    return;
  close(c.jobs);
  bool lost = false;
  for (int i = 0; i < c.workers; ++i) {
    int status;
    lost |= waitpid(c.pid[i], &status, 0) < 0 || status != 0;
    close(c.done[i]);
  }
  if (lost)
    fatal_error(s, kLostWorker);
}

// Hands block n out to be compressed, now that it is known whether it is the last.
void hand_out(StreamState &s, Compressor &c, uint64_t n, bool last) {
  Block &b = block(c, n);
  b.last = last;
  if (!last && !c.started)
    start_workers(s, c);
  ++c.handed;
  if (c.workers == 0) {
    set_state(b, compress_block(s.zlib, b));
    return;
  }
  b.state = kQueued;
  // A write of 8 bytes to a pipe is atomic, and each worker reads 8 at a time.
  if (write_fully(c.jobs, &n, sizeof n) < 0)
    fatal_error(s, kLostWorker);
}

// Waits until some worker reports a block done. A worker whose pipe ends has been lost.
void await_report(const StreamState &s, Compressor &c) {
  pollfd fds[kMaxDeflateWorkers];
  for (int i = 0; i < c.workers; ++i)
    fds[i] = {c.done[i], POLLIN, 0};
  int ready = poll(fds, static_cast<nfds_t>(c.workers), -1);
  if (ready < 0 && errno != EINTR)
    fatal_error(s, "out of memory"); // poll's only failure with these descriptors
  for (int i = 0; ready > 0 && i < c.workers; ++i) {
    uint64_t n;
    if (fds[i].revents && read(fds[i].fd, &n, sizeof n) != sizeof n)
      fatal_error(s, kLostWorker);
  }
}

// Reads up to a block of input, as much as the source gives: where the cuts fall depends on the
// input alone, not on how the reads deliver it. Returns the bytes read.
uint32_t fill_block(StreamState &s, unsigned char *in) {
  size_t got = 0;
  while (got < kDeflateBlockSize) {
    ssize_t n = read_source(s, in + got, kDeflateBlockSize - got);
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  return static_cast<uint32_t>(got);
}

// Reads block n, counted in *read, and hands out the block before it, which is now known not to
// be the last, or to be the last when nothing more came; a short block is the last too. Returns
// false at the end of the input.
bool read_block(StreamState &s, Compressor &c, uint64_t *read) {
  uint64_t n = *read;
  Block &b = block(c, n);
  if (n > 0)
    memcpy(b.data, block(c, n - 1).data + kDeflateBlockSize, kDictionarySize);
  b.dictionary = n > 0;
  b.size = fill_block(s, b.data + kDictionarySize);
  // An input of whole blocks ends with the last of them, not with an empty one.
  if (n > 0)
    hand_out(s, c, n - 1, b.size == 0);
  if (n > 0 && b.size == 0)
    return false;
  *read = n + 1;
  if (b.size == kDeflateBlockSize)
    return true;
  hand_out(s, c, n, true);
  return false;
}

// Appends the compressed piece of block n to the output once it is ready.
void write_piece(StreamState &s, Compressor &c, uint64_t n) {
  Block &b = block(c, n);
  while (state_of(b) == kQueued)
    await_report(s, c);
  if (state_of(b) == kFailed)
    fatal_error(s, "out of memory");
  append_output(s, b.piece, b.piece_size);
}

int processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0)
    return 1;
  return CPU_COUNT(&set);
}

} // namespace

void deflate_input(StreamState &s) {
  Compressor c;
  c.wanted = deflate_workers();
  map_blocks(s, c);
  // Reading runs ahead of writing by as many blocks as there are slots.
  uint64_t read = 0, written = 0;
  bool more = true;
  while (more || written < read) {
    while (more && read - written < static_cast<uint64_t>(c.slots))
      more = read_block(s, c, &read);
    if (written < c.handed)
      write_piece(s, c, written++);
  }
  stop_workers(s, c);
  munmap(c.blocks, c.mapped);
}

int deflate_workers() {
  return std::clamp(worker_override > 0 ? worker_override : processors(), 1, kMaxDeflateWorkers);
}

void set_deflate_workers(int n) { worker_override = n; }

} // namespace vardo

// The shared ground of the gzip stream layer: descriptors, names, the three fixed buffers, the
// byte counters and the buffered input and output operations over raw descriptors. A run has one
// StreamState, in static storage, which its owner hands to every operation that reads or writes
// through it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lib/sha256.h"

namespace vardo {

struct DigestTap;

constexpr size_t kInputBufferSize = 8192;
constexpr size_t kOutputBufferSize = 8192;
constexpr size_t kInflateWindowSize = 32768;
constexpr size_t kNameSize = 1024;
// zlib's own state and windows live in a workspace, not on the heap: deflate at level 9 with the
// default memory level needs about 268 KiB, inflate about 40 KiB. A workspace serves one zlib
// stream at a time.
constexpr size_t kZlibWorkspaceSize = 280 * 1024;

struct ZlibWorkspace {
  unsigned char bytes[kZlibWorkspaceSize];
  size_t used = 0; // bytes handed to the current zlib stream
};

// An output descriptor that takes the inflated bytes through the CRC and the counters and writes
// them nowhere: the listing verifies a payload without opening any file of the system.
constexpr int kNoOutput = -1;

struct StreamState {
  int in_fd = 0;                 // what refills and the writer's source read from
  int out_fd = 0;                // what the flushes write to
  char in_name[kNameSize] = {};  // shown in every diagnostic but the write error
  char out_name[kNameSize] = {}; // shown in the write error; empty in build mode
  unsigned char inbuf[kInputBufferSize];
  uint32_t in_fill = 0; // valid bytes in inbuf
  uint32_t in_pos = 0;  // next unread byte; empty when in_pos >= in_fill
  unsigned char outbuf[kOutputBufferSize];
  unsigned char window[kInflateWindowSize];
  uint32_t out_count = 0; // bytes pending in outbuf (writing) or window (inflating)
  uint32_t crc_register = 0xFFFFFFFFu;
  uint32_t member_crc = 0; // CRC of the bytes read so far for the member being written
  // Bytes read and written. A payload can hold more than 4 GiB, so the counters are 64-bit; the
  // gzip trailer's ISIZE and the listing's columns take them modulo 2^32, where they say so.
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  ZlibWorkspace zlib; // the inflater's, and the compressor's in the calling process
  // The digests that see the bytes as they pass, when their owners set them: the builder's of
  // every byte written, and the tap of an archive read once (gzstream/tap.h) of every byte read.
  Sha256State *out_digest = nullptr;
  DigestTap *tap = nullptr;
};

// Returns the byte at the input position, refilling the buffer when it is empty.
int next_input_byte(StreamState &s);
// Fills the input buffer from the current input descriptor, as full as the source allows, and
// returns its first byte. Ends the process with the read-error report when no byte comes.
int refill_input(StreamState &s);
// Like next_input_byte, but returns -1 at a clean end of the source instead of ending the
// process; a read error still ends it.
int try_next_input_byte(StreamState &s);
// Takes `len` bytes of input into `dst`: the input buffer's first, then read straight from the
// input descriptor, counted and tapped as the buffer's fills are. Returns the bytes taken, fewer
// at the end of the input; a read error ends the process.
size_t read_input(StreamState &s, unsigned char *dst, size_t len);
// Reads the input to its end, through the tap; a read error ends the process.
void drain_input(StreamState &s);
// Bytes taken from the input buffer since the last reset_stream.
uint64_t input_consumed(const StreamState &s);
// Writes the pending output buffer to the current output descriptor.
void flush_output_buffer(StreamState &s);
// Appends bytes to the output buffer, which is written each time it holds 8192 bytes: the output
// leaves in writes of exactly 8192 bytes until the last flush.
void append_output(StreamState &s, const void *data, size_t len);
// Runs the pending inflate window through the CRC and writes it to the output descriptor, unless
// that is kNoOutput.
void flush_inflate_window(StreamState &s);
// Writes the whole range, retrying short writes; returns 0, or -1 with errno set.
int write_fully(int fd, const void *data, size_t len);
// Writes the whole range to the current output descriptor, through the output digest; returns 0,
// or -1 with errno set.
int write_output(const StreamState &s, const void *data, size_t len);
// Writes the whole range as write_output does, or ends the process with the write-error report.
void write_all(const StreamState &s, const void *data, size_t len);
// Names the streams of an archive being read: the archive as input name, standard output as
// output descriptor and "stdout" as output name. Returns -1 after a message when the archive
// name does not fit.
int name_archive_streams(StreamState &s, const char *path);
// True when `fd` is the regular file that standard output writes to: copying it there would
// feed the file into itself until the disk is full.
bool is_standard_output(int fd);
// Empties the input buffer and zeroes the byte counts.
void reset_stream(StreamState &s);

} // namespace vardo

#include "gzstream/stream.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "gzstream/crc32.h"
#include "gzstream/diagnostics.h"
#include "lib/process.h"
#include "support/fork.h"

namespace vardo {
namespace {

class Stream : public ::testing::Test {
protected:
  void SetUp() override { process.program_name = "vardo"; }
  std::unique_ptr<StreamState> owned_ = std::make_unique<StreamState>();
  StreamState &s = *owned_;
};

TEST_F(Stream, RefillGathersAFullBufferFromSmallPieces) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data = test::random_bytes(10000, 7);
  std::thread writer([&] {
    for (size_t i = 0; i < data.size(); i += 100) {
      ASSERT_EQ(write(fds[1], data.data() + i, std::min<size_t>(100, data.size() - i)),
                static_cast<ssize_t>(std::min<size_t>(100, data.size() - i)));
      usleep(200);
    }
    close(fds[1]);
  });
  s.in_fd = fds[0];
  EXPECT_EQ(next_input_byte(s), static_cast<unsigned char>(data[0]));
  EXPECT_EQ(s.in_fill, 8192u);
  EXPECT_EQ(s.in_pos, 1u);
  EXPECT_EQ(s.bytes_in, 8192u);
  for (size_t i = 1; i < data.size(); ++i)
    ASSERT_EQ(next_input_byte(s), static_cast<unsigned char>(data[i])) << i;
  EXPECT_EQ(s.in_fill, 10000u - 8192u);
  EXPECT_EQ(s.bytes_in, 10000u);
  writer.join();
  close(fds[0]);
}

TEST_F(Stream, ShortSourceThenEndOfFile) {
  test::TempDir dir;
  test::write_file(dir / "five", "12345");
  auto r = test::run_forked([&] {
    s.in_fd = open((dir / "five").c_str(), O_RDONLY);
    strcpy(s.in_name, "five");
    int first = next_input_byte(s);
    printf("%c %u\n", first, s.in_fill);
    for (int i = 0; i < 5; ++i)
      next_input_byte(s);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "1 5\n");
  EXPECT_EQ(r.err, "\nvardo: five: unexpected end of file\n");
}

TEST_F(Stream, EmptySourceAndReadError) {
  auto r = test::run_forked([&] {
    s.in_fd = open("/dev/null", O_RDONLY);
    strcpy(s.in_name, "empty.run");
    next_input_byte(s);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: empty.run: unexpected end of file\n");

  test::TempDir dir;
  r = test::run_forked([&] {
    s.in_fd = open(dir.path().c_str(), O_RDONLY); // reading a directory fails
    strcpy(s.in_name, "somedir");
    next_input_byte(s);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: somedir: Is a directory\n");
}

// A second input read after reset_stream: its first byte comes from it, not from what the buffer
// still holds of the first, and the counts start again.
TEST_F(Stream, ResetStreamStartsTheNextInputAfresh) {
  test::TempDir dir;
  test::write_file(dir / "first", "abcdef");
  test::write_file(dir / "second", "xyz");
  s.in_fd = open((dir / "first").c_str(), O_RDONLY);
  EXPECT_EQ(next_input_byte(s), 'a');
  EXPECT_EQ(next_input_byte(s), 'b');
  close(s.in_fd);
  reset_stream(s);
  EXPECT_EQ(s.bytes_in, 0u);
  s.in_fd = open((dir / "second").c_str(), O_RDONLY);
  EXPECT_EQ(next_input_byte(s), 'x');
  EXPECT_EQ(input_consumed(s), 1u);
  EXPECT_EQ(s.bytes_in, 3u);
  close(s.in_fd);
}

volatile sig_atomic_t signal_caught = 0;
void note_signal(int) { signal_caught = 1; }

TEST_F(Stream, WriteAllRetriesAfterAShortWrite) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  struct sigaction sa = {};
  sa.sa_handler = note_signal; // no SA_RESTART: the blocked write returns what it wrote
  struct sigaction old;
  sigaction(SIGUSR1, &sa, &old);
  pthread_t self = pthread_self();
  std::string got;
  signal_caught = 0;
  std::thread reader([&] {
    // Once the pipe holds all it can, the writer is inside its write, which the signal ends
    // with the part written so far; the rest is read only after the handler has run.
    int queued = 0;
    while (ioctl(fds[0], FIONREAD, &queued) == 0 && queued < 4096)
      sched_yield();
    pthread_kill(self, SIGUSR1);
    while (!signal_caught)
      sched_yield();
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
      got.append(buf, static_cast<size_t>(n));
  });
  std::string data = test::random_bytes(8192, 3);
  memcpy(s.outbuf, data.data(), data.size());
  s.out_count = 8192;
  s.out_fd = fds[1];
  flush_output_buffer(s);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(got, data);
  EXPECT_EQ(s.bytes_out, 8192u);
  EXPECT_EQ(s.out_count, 0u);
}

TEST_F(Stream, FlushInflateWindowRunsTheCrc) {
  test::TempDir dir;
  s.out_fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0644);
  crc32_reset(s);
  memcpy(s.window, "123456789", 9);
  s.out_count = 9;
  flush_inflate_window(s);
  flush_inflate_window(s); // nothing pending: nothing happens
  close(s.out_fd);
  EXPECT_EQ(crc32_value(s), 0xCBF43926u);
  EXPECT_EQ(s.bytes_out, 9u);
  EXPECT_EQ(test::read_file(dir / "out"), "123456789");
}

TEST_F(Stream, WriteErrorInBuildModeShowsOnlyTheSystemText) {
  auto r = test::run_forked([&] {
    s.out_fd = open("/dev/full", O_WRONLY);
    s.out_count = 10;
    flush_output_buffer(s);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: No space left on device\n");

  r = test::run_forked([&] {
    s.out_fd = open("/dev/full", O_WRONLY);
    strcpy(s.out_name, "data.tar");
    write_all(s, "abc", 3);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: data.tar: No space left on device\n");
}

TEST_F(Stream, FatalErrorAndAbortPath) {
  auto r = test::run_forked([&] {
    strcpy(s.in_name, "x.run");
    fatal_error(s, "invalid compressed data--crc error");
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nvardo: x.run: invalid compressed data--crc error\n");
  EXPECT_EXIT(abort_exit(), ::testing::ExitedWithCode(1), "");
  // The clean-ups that stand run latest first, each once, told whether a write failed; one taken
  // off does not run.
  r = test::run_forked([&] {
    static AbortCleanup first = [](bool failed) { printf("first %d\n", failed); };
    static AbortCleanup second = [](bool failed) { printf("second %d\n", failed); };
    static AbortCleanup gone = [](bool) { printf("gone\n"); };
    on_abort(first);
    on_abort(gone);
    on_abort(second);
    cancel_on_abort(gone);
    s.out_fd = open("/dev/full", O_WRONLY);
    write_all(s, "abc", 3);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "second 1\nfirst 1\n");
}

} // namespace
} // namespace vardo

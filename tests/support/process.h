// Helpers for tests that run real processes and work in real temporary directories.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vardo::test {

// How long a test waits for an event that must come (a process's end, a file, a line) before it
// takes the event for lost: minutes, so that only a hang reaches it, however loaded the machine.
constexpr int kHangLimitSeconds = 600;

// Waits until `ready()` holds, looking every 10 ms. Returns false, after failing the test with a
// message naming `what`, when kHangLimitSeconds pass first.
bool await(const std::function<bool()> &ready, const std::string &what);

// Shell text that waits until the shell condition `condition` holds, looking every 50 ms; when
// kHangLimitSeconds pass first, it says on standard error that it gave up waiting for `what`.
std::string shell_await(const std::string &condition, const std::string &what);

struct RunResult {
  int status = -1; // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// In the sanitizer build a report ends a process with this status (exitcode=86 in ASAN_OPTIONS
// and UBSAN_OPTIONS for every test), which neither the tool nor the tests use.
constexpr int kSanitizerReportStatus = 86;

// Sets r.status from a wait status: the exit status, or 128 + the signal number. A child that
// ended with a sanitizer report fails the current test, whatever status the test expects.
void set_status(RunResult &r, int wait_status);

struct RunOptions {
  std::string input;                  // written to standard input, then closed
  std::string cwd;                    // working directory of the child, when not empty
  std::vector<std::string> env;       // NAME=VALUE entries added to (or replacing in) the env
  std::vector<std::string> unset_env; // names removed from the environment
  std::string stdout_path;            // when set, standard output goes to this file
  bool stdin_tty = false;             // standard input is a pseudo-terminal fed with `input`
  // Standard input, output and error are one pseudo-terminal, fed with `input`, without echo or
  // output translation; everything written to it lands in `out`.
  bool terminal = false;
  // On the terminal, typed once the file `late_after` exists: a Ctrl-C at a known point of the run.
  std::string late_input;
  std::string late_after;
  // A guard against a hang, never a measure of speed: a busy machine may run the slowest test
  // many times slower than an idle one. When it fires, the test fails and says so.
  int timeout_seconds = kHangLimitSeconds;
};

// Runs argv[0] with the arguments; argv[0] is executed as given (no PATH search unless it has no
// "/").
RunResult run(const std::vector<std::string> &argv, const RunOptions &options = {});

// The screen a terminal shows for `out`, what a run with `terminal` set wrote: "\r" returns to
// the start of the line, ESC [ K erases to its end, "\n" starts a new line.
std::string screen(const std::string &out);

// Absolute path of the built tool.
std::string vardo_binary();

// A fresh directory under the system temporary directory, removed with its contents on
// destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, int mode = 0644);
std::string random_bytes(size_t n, unsigned seed);
std::string text_bytes(size_t n, unsigned seed);

} // namespace vardo::test

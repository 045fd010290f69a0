// Helpers for tests that run real processes and work in real temporary directories.
#pragma once
#include <string>
#include <vector>

namespace vardo::test {

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
  int timeout_seconds = 60;
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

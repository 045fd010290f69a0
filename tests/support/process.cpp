#include "support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace vardo::test {

std::string vardo_binary() { return VARDO_BINARY; }

void set_status(RunResult &r, int wait_status) {
  r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (r.status == kSanitizerReportStatus)
    ADD_FAILURE() << "the child ended with a sanitizer report:\n" << r.out << r.err;
}

bool await(const std::function<bool()> &ready, const std::string &what) {
  timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (!ready()) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec > kHangLimitSeconds) {
      ADD_FAILURE() << "gave up after " << kHangLimitSeconds << " s waiting for " << what;
      return false;
    }
    usleep(10000);
  }
  return true;
}

std::string shell_await(const std::string &condition, const std::string &what) {
  std::string quoted; // `what` inside single quotes
  for (char c : what)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  // Counted with seq, not with arithmetic: the text may go into a command template that takes
  // placeholders, where arithmetic is refused.
  return "for n in $(seq " + std::to_string(kHangLimitSeconds * 20) + "); do " + condition +
         " && break; sleep 0.05; done; " + condition + " || echo 'gave up after " +
         std::to_string(kHangLimitSeconds) + " s waiting for " + quoted + "' >&2; ";
}

// Kills the child whose time limit has passed, and says so: the test then fails with that
// reason instead of with a status it did not expect.
static void kill_at_limit(pid_t pid, const std::vector<std::string> &argv, int seconds) {
  kill(pid, SIGKILL);
  std::string command;
  for (const auto &a : argv)
    command += (command.empty() ? "" : " ") + a;
  ADD_FAILURE() << "the time limit of " << seconds << " s fired: " << command
                << " had not ended, and was killed";
}

static void child(const std::vector<std::string> &argv, const RunOptions &o, int in, int out,
                  int err) {
  dup2(in, 0);
  if (!o.stdout_path.empty()) {
    int fd = open(o.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
  } else {
    dup2(out, 1);
  }
  dup2(err, 2);
  for (int fd = 3; fd < 256; ++fd)
    close(fd);
  signal(SIGPIPE, SIG_DFL);
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) < 0)
    _exit(126);
  for (const auto &name : o.unset_env)
    unsetenv(name.c_str());
  for (const auto &entry : o.env) {
    auto eq = entry.find('=');
    setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  if (argv[0].find('/') == std::string::npos)
    execvp(args[0], args.data());
  else
    execv(args[0], args.data());
  _exit(127);
}

// Runs the child on a pseudo-terminal: the answers go in at once (the terminal keeps typed lines
// until they are read), and the output is read until the child has closed its side.
static RunResult run_on_terminal(const std::vector<std::string> &argv, const RunOptions &o) {
  int master, slave;
  termios raw = {};
  raw.c_iflag = ICRNL;
  raw.c_lflag = ICANON | ISIG;
  raw.c_cflag = CS8 | CREAD;
  raw.c_cc[VEOF] = 4;
  raw.c_cc[VINTR] = 3; // Ctrl-C
  if (openpty(&master, &slave, nullptr, &raw, nullptr) < 0)
    throw std::runtime_error("openpty");
  pid_t pid = fork();
  if (pid == 0) {
    close(master);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    child(argv, o, slave, slave, slave);
  }
  close(slave);
  if (write(master, o.input.data(), o.input.size()) != static_cast<ssize_t>(o.input.size()))
    throw std::runtime_error("write to terminal");
  RunResult r;
  char buf[4096];
  time_t deadline = time(nullptr) + o.timeout_seconds;
  bool late_pending = !o.late_input.empty();
  for (;;) {
    if (late_pending && access(o.late_after.c_str(), F_OK) == 0) {
      late_pending = false;
      if (write(master, o.late_input.data(), o.late_input.size()) !=
          static_cast<ssize_t>(o.late_input.size()))
        throw std::runtime_error("write to terminal");
    }
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, late_pending ? 50 : 1000) > 0) {
      ssize_t got = read(master, buf, sizeof buf);
      if (got <= 0)
        break; // EIO: every descriptor of the terminal's other side is closed
      r.out.append(buf, static_cast<size_t>(got));
    }
    if (time(nullptr) > deadline) {
      kill_at_limit(pid, argv, o.timeout_seconds);
      break;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  set_status(r, status);
  return r;
}

RunResult run(const std::vector<std::string> &argv, const RunOptions &o) {
  if (o.terminal)
    return run_on_terminal(argv, o);
  int in[2], out[2], err[2];
  if (o.stdin_tty) {
    // The terminal keeps typed lines until they are read, so the answers go in at once; the
    // master stays open until the child has ended.
    if (openpty(&in[1], &in[0], nullptr, nullptr, nullptr) < 0)
      throw std::runtime_error("openpty");
  } else if (pipe(in)) {
    throw std::runtime_error("pipe");
  }
  if (pipe(out) || pipe(err))
    throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid == 0)
    child(argv, o, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult r;
  int tty_master = -1;
  if (o.stdin_tty) {
    tty_master = in[1];
    in[1] = -1;
    if (write(tty_master, o.input.data(), o.input.size()) != static_cast<ssize_t>(o.input.size()))
      throw std::runtime_error("write to terminal");
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (o.input.empty() && in[1] >= 0) {
    close(in[1]);
    in[1] = -1;
  }
  time_t deadline = time(nullptr) + o.timeout_seconds;
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open)
      fds[n++] = {out[0], POLLIN, 0};
    if (err_open)
      fds[n++] = {err[0], POLLIN, 0};
    if (in[1] >= 0)
      fds[n++] = {in[1], POLLOUT, 0};
    if (poll(fds, n, 1000) < 0 && errno != EINTR)
      break;
    if (time(nullptr) > deadline) {
      kill_at_limit(pid, argv, o.timeout_seconds);
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents)
        continue;
      if (fds[i].fd == in[1]) {
        ssize_t w = write(in[1], o.input.data() + written, o.input.size() - written);
        if (w > 0)
          written += static_cast<size_t>(w);
        if (w < 0 || written == o.input.size()) {
          close(in[1]);
          in[1] = -1;
        }
        continue;
      }
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        if (fds[i].fd == out[0])
          out_open = false;
        else
          err_open = false;
        continue;
      }
      (fds[i].fd == out[0] ? r.out : r.err).append(buf, static_cast<size_t>(got));
    }
  }
  if (in[1] >= 0)
    close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (tty_master >= 0)
    close(tty_master);
  set_status(r, status);
  return r;
}

std::string screen(const std::string &out) {
  std::vector<std::string> lines(1);
  size_t col = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    std::string &line = lines.back();
    if (out[i] == '\r') {
      col = 0;
    } else if (out[i] == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (out.compare(i, 3, "\033[K") == 0) {
      line.resize(std::min(line.size(), col));
      i += 2;
    } else {
      line.resize(std::max(line.size(), col + 1), ' ');
      line[col++] = out[i];
    }
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i)
    text += lines[i] + (i + 1 < lines.size() ? "\n" : "");
  return text;
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vardo-test-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0)
    fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string read_file(const std::string &path) {
  std::string data;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    throw std::runtime_error("cannot open " + path);
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    data.append(buf, static_cast<size_t>(n));
  close(fd);
  return data;
}

void write_file(const std::string &path, const std::string &data, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0)
    throw std::runtime_error("cannot create " + path);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0)
      throw std::runtime_error("cannot write " + path);
    done += static_cast<size_t>(n);
  }
  close(fd);
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(gen());
  return s;
}

std::string text_bytes(size_t n, unsigned seed) {
  static const char *words[] = {"archive ", "payload ", "vardo ",   "gzip ",  "member\n",
                                "header ",  "install ", "the ",     "a ",     "of ",
                                "bytes ",   "stream\n", "extract ", "files ", "data "};
  std::mt19937 gen(seed);
  std::string s;
  while (s.size() < n)
    s += words[gen() % 15];
  s.resize(n);
  return s;
}

} // namespace vardo::test

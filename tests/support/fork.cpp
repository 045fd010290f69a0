#include "support/fork.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/header.h"

namespace vardo::test {

static std::string drain(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    s.append(buf, static_cast<size_t>(n));
  return s;
}

RunResult run_forked(const std::function<void()> &fn, const std::string &input) {
  // Files instead of pipes: the child may write more than a pipe holds before we read.
  FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  fflush(in);
  rewind(in);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    fn();
    fflush(nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult r;
  rewind(out);
  rewind(err);
  r.out = drain(fileno(out));
  r.err = drain(fileno(err));
  set_status(r, status);
  fclose(in);
  fclose(out);
  fclose(err);
  return r;
}

std::string archive_bytes(const std::string &preamble, const std::string &features,
                          const std::string &comment, const std::string &run_command,
                          const std::string &extract_command, const std::string &payload) {
  std::string s = preamble;
  s.append(make_magic(), kMagicSize);
  for (const auto *text : {&features, &comment, &run_command, &extract_command}) {
    s += *text;
    s += '\0';
  }
  return s + payload;
}

} // namespace vardo::test

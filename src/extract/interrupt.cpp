#include "extract/interrupt.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "extract/temporary.h"
#include "gzstream/progress.h"
#include "lib/descendants.h"
#include "lib/process.h"
#include "lib/shell.h"

namespace vardo {

// The command that runs and the pipe into it, as the handler finds them.
struct RunningCommand {
  volatile sig_atomic_t pid = 0;
  volatile sig_atomic_t input = -1;
};

static RunningCommand running;

// Every signal whose default action ends the process and that may come from outside; and the
// real-time signals. The faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS) keep
// their default: they mean this process is broken. SIGPIPE and SIGXFSZ are turned into write
// errors elsewhere.
static const unsigned char kEndingSignals[] = {
    SIGHUP,    SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
    SIGALRM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// Their names, in the same order, a blank apart.
static const char kEndingSignalNames[] =
    "SIGHUP SIGINT SIGQUIT SIGTERM SIGUSR1 SIGUSR2 SIGALRM SIGVTALRM SIGPROF SIGXCPU SIGIO SIGPWR "
    "SIGSTKFLT";

static sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kEndingSignals)
    sigaddset(&set, number);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
    sigaddset(&set, sig);
  return set;
}

// Says, erasing the progress line first, that the run was interrupted and by which signal, in
// one line. Only async-signal-safe calls.
static void say_interrupted(int sig) {
  progress_clear();
  char name[24] = "a real-time signal";
  const char *p = kEndingSignalNames;
  for (int number : kEndingSignals) {
    size_t n = strcspn(p, " ");
    if (number == sig) {
      memcpy(name, p, n);
      name[n] = '\0';
    }
    p += n + 1;
  }
  const char *shown = name;
  for (const char *part : {process.program_name, ": interrupted by ", shown, "\n"})
    if (write(STDERR_FILENO, part, strlen(part)) < 0)
      return;
}

sigset_t hold_ending_signals() {
  sigset_t block = ending_signals(), old;
  sigprocmask(SIG_BLOCK, &block, &old);
  return old;
}

void release_ending_signals(const sigset_t &old) { sigprocmask(SIG_SETMASK, &old, nullptr); }

// The terminal sends SIGINT, SIGQUIT and SIGHUP to its whole foreground group, the command
// included, as the kernel's own (SI_KERNEL) signals; passing those on would deliver them twice,
// so the command only gets SIGCONT, which a stopped one needs to take them. Signals sent by a
// process (kill), by a timer or by a resource limit reach this process alone.
static bool reached_the_group(int sig, const siginfo_t *info) {
  return info->si_code == SI_KERNEL && (sig == SIGINT || sig == SIGQUIT || sig == SIGHUP);
}

// Only async-signal-safe calls. The signal is blocked while this runs, as is every other ending
// signal; the default action restored and the signal raised again, it ends the process when this
// handler returns.
static void on_ending_signal(int sig, siginfo_t *info, void *) {
  int saved = errno;
  say_interrupted(sig);
  if (pid_t pid = running.pid) {
    signal_descendants(reached_the_group(sig, info) ? 0 : sig, pid);
    if (running.input >= 0)
      close(running.input); // the extract command sees the end of its input
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  temporary_remove_all();
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  raise(sig);
  errno = saved;
}

void catch_ending_signals() {
  struct sigaction sa = {};
  sa.sa_sigaction = on_ending_signal;
  sa.sa_flags = SA_SIGINFO;
  sa.sa_mask = ending_signals();
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old;
    // Whoever ignored a signal did not want it to end the run.
    if (sigismember(&sa.sa_mask, sig) == 1 && sigaction(sig, nullptr, &old) == 0 &&
        old.sa_handler != SIG_IGN)
      sigaction(sig, &sa, nullptr);
  }
}

pid_t start_command(const char *command, const ShellCall &call, int *input) {
  sigset_t old = hold_ending_signals();
  pid_t pid = shell_start(command, call, input);
  int err = errno;
  if (pid > 0) {
    running.pid = pid;
    running.input = input ? *input : -1;
  }
  release_ending_signals(old);
  errno = err;
  return pid;
}

int finish_command(pid_t pid, int input) {
  sigset_t old = hold_ending_signals();
  running.input = -1;
  if (input >= 0)
    close(input);
  release_ending_signals(old);
  // Waited for without reaping, so that the process id stays the command's while a signal may
  // still pass something on to it.
  siginfo_t info;
  int waited;
  while ((waited = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT)) < 0 &&
         errno == EINTR) {
  }
  old = hold_ending_signals();
  int status = -1;
  if (waited == 0 && waitpid(pid, &status, 0) < 0)
    status = -1;
  running.pid = 0;
  int err = errno;
  release_ending_signals(old);
  errno = err;
  return status;
}

} // namespace vardo

// Side-by-side benchmark of vardo against the usual tools. Each row runs our command and a
// reference command in turn, alternating, several times, and reports for each the median wall
// time, the median CPU time and the peak resident memory, then the ratios ours/reference. The
// table goes to standard output and, with -o, to a Markdown file with the date, the processor
// and the commit, so that runs can be compared.
//
//   compare [-n RUNS] [-o RESULTS.md] [-b EARLIER_VARDO] [-L] VARDO WORKDIR
//
// The corpora: p64, 64 MiB cut from a sorted tar of /usr/share and /usr/lib; random, 64 MiB that
// do not compress; tree, a tar of whole members below /usr/share/doc and /usr/share/man (about
// 64 MiB), unpacked into an empty directory through tar; with -L also p512, 512 MiB of the same
// tar as p64. The rows build and unpack them next to gzip, pigz, libdeflate and dd, and with -b
// next to an earlier build of vardo too: building, unpacking on one, two and all processors with
// and without the digest, and the sizes of both payloads.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Command {
  std::vector<std::string> argv;
  std::string out = "/dev/null"; // standard output
  std::string cwd = ".";
  std::string remove; // a file removed before each run (the previous run's output)
  int processors = 0; // when set, the run may use only the first this many (as taskset -c 0..)
  std::string fresh;  // a directory emptied before each run, its removed files' writes synced
};

// Keeps the first n processors of this process's affinity mask, for the child about to exec.
void keep_processors(int n) {
  cpu_set_t all, kept;
  CPU_ZERO(&kept);
  if (sched_getaffinity(0, sizeof all, &all) != 0)
    _exit(126);
  for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&kept) < n; ++cpu)
    if (CPU_ISSET(cpu, &all))
      CPU_SET(cpu, &kept);
  if (sched_setaffinity(0, sizeof kept, &kept) != 0)
    _exit(126);
}

// Clears what the previous run of c left, outside the timed run: its output file is removed, and
// the directory of a row that unpacks into one is emptied, its files' writes on the disk.
void refresh(const Command &c) {
  if (!c.remove.empty())
    unlink(c.remove.c_str());
  if (c.fresh.empty())
    return;
  std::string cmd = "rm -rf '" + c.fresh + "' && sync && mkdir '" + c.fresh + "'";
  if (system(cmd.c_str()) != 0) {
    fprintf(stderr, "cannot make %s afresh\n", c.fresh.c_str());
    exit(1);
  }
}

// Starts c in a child process: in its directory, on its processors, its output to its file.
pid_t spawn(const Command &c) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  if (chdir(c.cwd.c_str()) < 0)
    _exit(126);
  if (c.processors > 0)
    keep_processors(c.processors);
  int out = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open("/dev/null", O_WRONLY);
  int in = open("/dev/null", O_RDONLY);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char *> args;
  for (const auto &a : c.argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// One run. The CPU time and the peak RSS come from wait4, whose figures cover the child and
// every descendant it waited for (the extract command's shell and cat, pigz's threads): the
// CPU time is their sum, the RSS the peak of the largest one.
struct Sample {
  double wall, cpu;
  long rss_kib;
  int status;
};

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

Sample run(const Command &c) {
  refresh(c);
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = spawn(c);
  int status = 0;
  rusage ru = {};
  wait4(pid, &status, 0, &ru);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return {static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9,
          seconds(ru.ru_utime) + seconds(ru.ru_stime), ru.ru_maxrss,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string output_of(const std::string &cmd) {
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p))
      out += buf;
    pclose(p);
  }
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

bool installed(const char *tool) {
  std::string cmd = std::string("command -v ") + tool + " > /dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

bool same_file(const std::string &a, const std::string &b) {
  std::string cmd = "cmp -s '" + a + "' '" + b + "'";
  return system(cmd.c_str()) == 0;
}

int runs = 5;
int failures = 0;
std::string report; // everything printed, for the results file

// Prints a line and keeps it for the results file.
void emit(const std::string &line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
  report += line + "\n";
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// The first 4 KiB of a file, or nothing when it cannot be read (a process gone meanwhile).
std::string small_file(const std::string &path) {
  char buf[4096];
  int fd = open(path.c_str(), O_RDONLY);
  ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
  if (fd >= 0)
    close(fd);
  return n > 0 ? std::string(buf, n) : "";
}

// The parent of every process, from /proc/PID/stat: the field after the command's closing
// parenthesis and the state.
std::vector<std::pair<pid_t, pid_t>> parents() {
  std::vector<std::pair<pid_t, pid_t>> all;
  DIR *proc = opendir("/proc");
  for (dirent *e; proc && (e = readdir(proc));) {
    pid_t pid = atoi(e->d_name), parent;
    std::string stat = pid > 0 ? small_file(format("/proc/%d/stat", pid)) : "";
    size_t end = stat.rfind(')');
    if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %*c %d", &parent) == 1)
      all.push_back({pid, parent});
  }
  if (proc)
    closedir(proc);
  return all;
}

// A process and all its descendants.
std::vector<pid_t> process_tree(pid_t root) {
  std::vector<pid_t> tree = {root};
  auto all = parents();
  for (size_t i = 0; i < tree.size(); ++i)
    for (const auto &[pid, parent] : all)
      if (parent == tree[i])
        tree.push_back(pid);
  return tree;
}

// A live process's peak resident memory so far (VmHWM), in KiB; 0 once it is gone.
long peak_kib(pid_t pid) {
  std::string status = small_file(format("/proc/%d/status", pid));
  size_t at = status.find("\nVmHWM:");
  return at == std::string::npos ? 0 : atol(status.c_str() + at + 7);
}

// One run of c, not timed, that adds up the peak resident memory of each of its processes,
// sampled every millisecond until the first one ends (wait4 gives the largest peak alone).
// Returns KiB, or -1 when the run fails.
long summed_peak_kib(const Command &c) {
  refresh(c);
  pid_t pid = spawn(c);
  std::vector<std::pair<pid_t, long>> peaks;
  siginfo_t info = {};
  while (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) {
    for (pid_t p : process_tree(pid)) {
      long kib = peak_kib(p);
      auto seen = std::find_if(peaks.begin(), peaks.end(), [p](auto &e) { return e.first == p; });
      if (seen == peaks.end())
        peaks.push_back({p, kib});
      else
        seen->second = std::max(seen->second, kib);
    }
    usleep(1000);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  long sum = 0;
  for (const auto &e : peaks)
    sum += e.second;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? sum : -1;
}

void table_head() {
  emit("");
  emit("| row | ours wall s | ours CPU s | ours RSS MiB | ref wall s | ref CPU s | ref RSS MiB "
       "| CPU ratio | wall ratio | target |");
  emit("|---|--:|--:|--:|--:|--:|--:|--:|--:|---|");
}

// What a row must reach: the CPU ratio at most `cpu`, with `rss` our peak RSS at most the
// reference's, the wall ratio at most `wall`, and our peak RSS at most `rss_mib` MiB. An empty
// target only informs.
struct Target {
  double cpu = 0;
  bool rss = false;
  const char *note = "";
  double wall = 0;
  double rss_mib = 0;
};

// The ratios and our peak RSS of a row, next to its target.
struct Outcome {
  double cpu_ratio, rss_ratio, wall_ratio, rss_mib;
};

std::string judge(const Target &t, const Outcome &o) {
  std::string s = t.note;
  auto add = [&s](const std::string &part) { s += (s.empty() ? "" : ", ") + part; };
  if (t.wall > 0)
    add(format("wall <= %.2f %s", t.wall, o.wall_ratio <= t.wall ? "ok" : "MISSED"));
  if (t.cpu > 0)
    add(format("CPU <= %.2f %s", t.cpu, o.cpu_ratio <= t.cpu ? "ok" : "MISSED"));
  if (t.rss)
    add(format("RSS <= ref %s", o.rss_ratio <= 1.0 ? "ok" : "MISSED"));
  if (t.rss_mib > 0)
    add(format("RSS <= %g MiB %s", t.rss_mib, o.rss_mib <= t.rss_mib ? "ok" : "MISSED"));
  return s;
}

// Runs ours and the reference alternately and adds the row of medians.
void compare(const std::string &row, const Command &ours, const Command &ref,
             const Target &target = {}) {
  std::vector<double> wall[2], cpu[2];
  long rss[2] = {0, 0};
  bool ours_fails = ours.argv.back() == "-h"; // the usage exits with 1
  for (int i = 0; i < runs; ++i) {
    Sample s[2] = {run(ours), run(ref)};
    if ((s[0].status != 0 && !ours_fails) || s[1].status != 0) {
      emit(format("| %s | FAILED (status %d / %d) |", row.c_str(), s[0].status, s[1].status));
      ++failures;
      return;
    }
    for (int k = 0; k < 2; ++k) {
      wall[k].push_back(s[k].wall);
      cpu[k].push_back(s[k].cpu);
      rss[k] = std::max(rss[k], s[k].rss_kib);
    }
  }
  double w[2] = {median(wall[0]), median(wall[1])}, c[2] = {median(cpu[0]), median(cpu[1])};
  Outcome o = {c[0] / std::max(c[1], 1e-3), static_cast<double>(rss[0]) / std::max(1L, rss[1]),
               w[0] / std::max(w[1], 1e-3), rss[0] / 1024.0};
  emit(format("| %s | %.3f | %.3f | %.1f | %.3f | %.3f | %.1f | %.2f | %.2f | %s |", row.c_str(),
              w[0], c[0], o.rss_mib, w[1], c[1], rss[1] / 1024.0, o.cpu_ratio, o.wall_ratio,
              judge(target, o).c_str()));
}

void missing(const std::string &row, const char *tool, const char *package) {
  emit(format("| %s | missing: %s is not installed (apt-get install %s) |", row.c_str(), tool,
              package));
}

void make_mixed(const std::string &path, size_t size) {
  // A deterministic tar of directories every Debian machine has, cut to the size.
  std::string cmd = "tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - "
                    "/usr/share /usr/lib 2>/dev/null | head -c " +
                    std::to_string(size) + " > '" + path + "'";
  if (system(cmd.c_str()) != 0 && file_size(path) <= 0) {
    fprintf(stderr, "cannot make %s\n", path.c_str());
    exit(1);
  }
}

void make_random(const std::string &path, size_t size) {
  std::mt19937_64 gen(1);
  FILE *f = fopen(path.c_str(), "wb");
  std::vector<uint64_t> block(8192);
  for (size_t done = 0; done < size; done += block.size() * 8) {
    for (auto &w : block)
      w = gen();
    fwrite(block.data(), 8, block.size(), f);
  }
  fclose(f);
}

// A tar of whole members, to unpack into a directory: the directories, files and links below
// /usr/share/doc and /usr/share/man in name order, as many as fit in `size` bytes of tar (each
// member a 512-byte header and its data in 512-byte records, a long name a header and records
// more).
void make_tree(const std::string &path, size_t size) {
  std::string list = path + ".list";
  FILE *names =
      popen("find /usr/share/doc /usr/share/man -print0 2>/dev/null | LC_ALL=C sort -z", "r");
  FILE *out = fopen(list.c_str(), "w");
  if (!names || !out) {
    fprintf(stderr, "cannot make %s\n", list.c_str());
    exit(1);
  }
  char *name = nullptr;
  size_t capacity = 0, total = 1024; // the two zero records that end a tar
  for (ssize_t n; (n = getdelim(&name, &capacity, '\0', names)) > 0;) {
    struct stat st;
    if (lstat(name, &st) != 0)
      continue;
    size_t member = 512 + (S_ISREG(st.st_mode) ? (st.st_size + 511) / 512 * 512 : 0);
    if (n > 100)
      member += 512 + (n + 511) / 512 * 512;
    if (total + member > size)
      break;
    total += member;
    fwrite(name, 1, n, out); // with its NUL
  }
  free(name);
  pclose(names);
  fclose(out);
  std::string cmd = "tar --null --no-recursion --mtime=@0 --owner=0 --group=0 --numeric-owner "
                    "-T '" +
                    list + "' -cf '" + path + "' 2>/dev/null";
  if (system(cmd.c_str()) != 0 || file_size(path) <= 0) {
    fprintf(stderr, "cannot make %s\n", path.c_str());
    exit(1);
  }
}

// Where the payload of an archive starts, read from the archive as built: its first bytes must
// be the preamble (a copy of vardo), then come the 11-byte magic and the header block of four
// NUL-terminated strings. Returns -1 when the archive does not look like that.
long payload_offset(const std::string &archive, const std::string &vardo) {
  long preamble = file_size(vardo);
  std::string cmp = "cmp -s -n " + std::to_string(preamble) + " '" + archive + "' '" + vardo + "'";
  FILE *f = fopen(archive.c_str(), "rb");
  if (system(cmp.c_str()) != 0 || !f || fseek(f, preamble + 11, SEEK_SET) != 0) {
    if (f)
      fclose(f);
    return -1;
  }
  long at = preamble + 11;
  int c = 0;
  for (int nuls = 0; nuls < 4 && (c = getc(f)) != EOF; ++at)
    nuls += c == 0;
  fclose(f);
  return c == EOF ? -1 : at;
}

// The bytes of an archive's payload, or -1 after a FAILED row in `sizes` when the archive does
// not hold the header block after the preamble `vardo`.
long payload_bytes(std::vector<std::string> &sizes, const std::string &what,
                   const std::string &archive, const std::string &vardo) {
  long offset = payload_offset(archive, vardo);
  if (offset >= 0)
    return file_size(archive) - offset;
  sizes.push_back(
      format("| archive %s | FAILED: no header block after the preamble |", what.c_str()));
  ++failures;
  return -1;
}

// The size row of a payload next to a reference of `ref` bytes, which it may exceed by the factor
// `limit`.
std::string payload_row(const std::string &what, long payload, long ref, double limit) {
  return format("| payload %s | %ld | %ld | %.4f | <= %.3f %s |", what.c_str(), payload, ref,
                static_cast<double>(payload) / ref, limit,
                payload <= limit * ref ? "ok" : "MISSED");
}

// The size rows of one archive: its payload next to a reference file, and its overhead.
void size_rows(std::vector<std::string> &sizes, const std::string &what, const std::string &archive,
               const std::string &vardo, const std::string &ref, const char *ref_name) {
  long payload = payload_bytes(sizes, what, archive, vardo);
  if (payload < 0)
    return;
  long offset = file_size(archive) - payload, preamble = file_size(vardo);
  if (!ref.empty())
    sizes.push_back(payload_row(what + " vs " + ref_name, payload, file_size(ref), 1.005));
  sizes.push_back(format("| archive overhead %s | %ld | | | preamble %ld + magic 11 + "
                         "header block %ld |",
                         what.c_str(), offset, preamble, offset - preamble - 11));
}

struct Tools {
  bool pigz, libdeflate;
};

// What every row needs: our tool, the earlier build (empty without -b), the work directory
// holding the corpora, the processors this process may run on, the peers installed, and the rows
// gathered for the tables of sizes and of memory.
struct Setup {
  std::string vardo, earlier, dir;
  int processors;
  Tools tools;
  std::vector<std::string> sizes, memory;
};

// Runs a command once, outside the table, for a file that rows need.
void prepare(const Command &c) {
  if (run(c).status != 0) {
    fprintf(stderr, "cannot make %s (%s failed)\n", c.out.c_str(), c.argv[0].c_str());
    exit(1);
  }
}

// The build on every processor next to pigz on two, which it must keep up with in wall time.
void pigz_parallel_row(const Setup &s, const std::string &name, const Command &build) {
  std::string row = name + ": build vs pigz -9 -p2 -c";
  if (s.tools.pigz)
    compare(row, build, {{"pigz", "-9", "-p2", "-c", s.dir + "/" + name}, s.dir + "/pigz-p2.gz"},
            {.wall = 1.05});
  else
    missing(row, "pigz", "pigz");
}

// Unpacking at most this many MiB resident, whatever the corpus: the decoder's memory is fixed
// per worker.
constexpr double kDecodeMiB = 8;

// Our build next to the usual compressors, then the unpacking into a file next to gzip's. Leaves
// NAME.run (executable) and NAME.gz (gzip -9) in the work directory.
void peer_build_rows(Setup &s, const std::string &name) {
  std::string corpus = s.dir + "/" + name, archive = corpus + ".run", gz = corpus + ".gz";
  auto row = [&](const char *what) { return name + ": " + what; };
  const Command build = {{s.vardo, "-C", "", corpus}, archive};
  compare(row("build vs gzip -9 -c"), build, {{"gzip", "-9", "-c", corpus}, gz},
          {.cpu = 1.00, .rss = true});
  if (s.tools.pigz)
    compare(row("build vs pigz -9 -p1 -c"), build,
            {{"pigz", "-9", "-p1", "-c", corpus}, s.dir + "/pigz.gz"});
  else
    missing(row("build vs pigz -9 -p1 -c"), "pigz", "pigz");
  pigz_parallel_row(s, name, build);
  if (s.tools.libdeflate)
    compare(row("build vs libdeflate-gzip -9 -c"), build,
            {{"libdeflate-gzip", "-9", "-c", corpus}, s.dir + "/libdeflate.gz"});
  else
    missing(row("build vs libdeflate-gzip -9 -c"), "libdeflate-gzip", "libdeflate-tools");
  chmod(archive.c_str(), 0755);

  std::string run_dir = s.dir + "/run-" + name;
  mkdir(run_dir.c_str(), 0755);
  compare(row("unpack to a file vs gzip -dc > file"),
          {{archive}, "/dev/null", run_dir, run_dir + "/" + name},
          {{"gzip", "-dc", gz}, run_dir + "/out", ".", run_dir + "/out"},
          {.cpu = 0.90, .rss_mib = kDecodeMiB});
  if (!same_file(run_dir + "/" + name, corpus) || !same_file(run_dir + "/out", corpus)) {
    emit(format("| %s | FAILED: unpacked bytes differ |", row("unpack to a file").c_str()));
    ++failures;
  }
  size_rows(s.sizes, name, archive, s.vardo, gz, "gzip -9");
}

// -x of NAME.run next to the usual decompressors of NAME.gz, and next to dd reading the corpus,
// which is the floor: no decoding at all.
void peer_decode_rows(const Setup &s, const std::string &name) {
  std::string corpus = s.dir + "/" + name, gz = corpus + ".gz";
  auto row = [&](const char *what) { return name + ": " + what; };
  const Command x = {{corpus + ".run", "-x"}};
  compare(row("-x > /dev/null vs gzip -dc"), x, {{"gzip", "-dc", gz}},
          {.cpu = 0.75, .rss_mib = kDecodeMiB});
  if (s.tools.pigz)
    compare(row("-x > /dev/null vs pigz -dc"), x, {{"pigz", "-dc", gz}}, {.cpu = 1.15});
  else
    missing(row("-x > /dev/null vs pigz -dc"), "pigz", "pigz");
  if (s.tools.libdeflate)
    compare(row("-x > /dev/null vs libdeflate-gunzip -c"), x, {{"libdeflate-gunzip", "-c", gz}});
  else
    missing(row("-x > /dev/null vs libdeflate-gunzip -c"), "libdeflate-gunzip", "libdeflate-tools");
  compare(row("-x > /dev/null vs dd bs=1M of=/dev/null (the floor)"), x,
          {{"dd", "if=" + corpus, "bs=1M", "of=/dev/null", "status=none"}});
}

// The same build by VARDO and by the earlier build, then the sizes of both payloads: the build no
// slower in CPU or wall time (within 5 % of noise) and the payload at most 0.3 % larger. Leaves
// NAME.run and NAME.earlier.run, both executable.
void earlier_build_rows(Setup &s, const std::string &name) {
  std::string corpus = s.dir + "/" + name;
  std::string ours = corpus + ".run", theirs = corpus + ".earlier.run";
  compare(name + ": build vs the earlier vardo", {{s.vardo, "-C", "", corpus}, ours},
          {{s.earlier, "-C", "", corpus}, theirs}, {.cpu = 1.05, .wall = 1.05});
  chmod(ours.c_str(), 0755);
  chmod(theirs.c_str(), 0755);
  long payload = payload_bytes(s.sizes, name, ours, s.vardo);
  long earlier_payload = payload_bytes(s.sizes, name + " (earlier)", theirs, s.earlier);
  if (payload >= 0 && earlier_payload >= 0)
    s.sizes.push_back(
        payload_row(name + " vs the earlier vardo's", payload, earlier_payload, 1.003));
}

// The processor counts of the -x rows: one, two and all this process may use, each once.
std::vector<int> processor_counts(int all) {
  std::vector<int> counts = {1};
  for (int n : {2, all})
    if (n > counts.back() && n <= all)
      counts.push_back(n);
  return counts;
}

// How a row of n processors runs: on all of them, or pinned to the first n.
std::string on_processors(int n, int all) {
  return format("%s %d processor%s", n == all ? "all" : "pinned to", n, n > 1 ? "s" : "");
}

// Our command and a reference, both on each processor count (the workers follow the affinity
// mask: on one processor no worker process starts). `two` applies on two processors, the one
// count the targets name; on the others only the limit on our peak RSS.
void processor_rows(const Setup &s, const std::string &what, Command ours, Command ref,
                    const Target &two) {
  for (int n : processor_counts(s.processors)) {
    ours.processors = ref.processors = n;
    compare(what + ", " + on_processors(n, s.processors), ours, ref,
            n == 2 ? two : Target{.rss_mib = kDecodeMiB});
  }
}

// The peak resident memory of our -x on each processor count, in runs of its own: that of the
// largest process, as wait4 gives it and the table shows it, and that of all its processes added
// up (the workers are processes of their own), both within kDecodeMiB.
void memory_rows(Setup &s, const std::string &name, Command x) {
  for (int n : processor_counts(s.processors)) {
    x.processors = n;
    double largest = run(x).rss_kib / 1024.0, sum = summed_peak_kib(x) / 1024.0;
    s.memory.push_back(format("| %s: -x, %s | %.1f | %.1f | largest <= %g MiB %s, added up <= %g "
                              "MiB %s |",
                              name.c_str(), on_processors(n, s.processors).c_str(), largest, sum,
                              kDecodeMiB, largest <= kDecodeMiB ? "ok" : "MISSED", kDecodeMiB,
                              sum >= 0 && sum <= kDecodeMiB ? "ok" : "MISSED"));
  }
}

// -x of NAME.run next to the earlier build's -x of its own archive (without an earlier build,
// next to gzip -dc of NAME.gz) on one, two and all processors; on two, at most 0.40 of the
// earlier vardo's CPU time and 0.25 of its wall time. Then both with -i, which skips the digest,
// to show the decoding alone, and our -x next to our -x -i: the digest's share.
void worker_rows(Setup &s, const std::string &name) {
  std::string corpus = s.dir + "/" + name;
  const Command x = {{corpus + ".run", "-x"}};
  memory_rows(s, name, x);
  if (s.earlier.empty()) {
    processor_rows(s, name + ": -x > /dev/null vs gzip -dc", x, {{"gzip", "-dc", corpus + ".gz"}},
                   {.rss_mib = kDecodeMiB});
    return;
  }
  const Command x_i = {{corpus + ".run", "-x", "-i"}};
  processor_rows(s, name + ": -x > /dev/null vs the earlier vardo's -x", x,
                 {{corpus + ".earlier.run", "-x"}},
                 {.cpu = 0.40, .wall = 0.25, .rss_mib = kDecodeMiB});
  processor_rows(s, name + ": -x -i (no digest) vs the earlier vardo's -x -i", x_i,
                 {{corpus + ".earlier.run", "-x", "-i"}},
                 {.note = "decoding alone, for information", .rss_mib = kDecodeMiB});
  compare(name + ": -x vs -x -i, ours both, " + on_processors(s.processors, s.processors) +
              " (the digest's share)",
          x, x_i);
}

// The corpora cut from the tar of /usr: builds and unpacking next to the earlier vardo (with -b)
// and next to the peers. The peers' builds run on p64 alone: on p512 they would take most of the
// run.
void mixed_rows(Setup &s, const std::string &name, bool peer_builds) {
  std::string corpus = s.dir + "/" + name;
  if (peer_builds)
    peer_build_rows(s, name);
  if (!s.earlier.empty())
    earlier_build_rows(s, name);
  if (!peer_builds) {
    if (s.earlier.empty()) {
      prepare({{s.vardo, "-C", "", corpus}, corpus + ".run"});
      chmod((corpus + ".run").c_str(), 0755);
    }
    prepare({{"gzip", "-9", "-c", corpus}, corpus + ".gz"});
  }
  worker_rows(s, name);
  peer_decode_rows(s, name);
}

// Data that does not compress: stored blocks.
void random_rows(Setup &s) {
  peer_build_rows(s, "random");
  if (!s.earlier.empty()) {
    earlier_build_rows(s, "random");
    compare("random: -x > /dev/null vs the earlier vardo's -x", {{s.dir + "/random.run", "-x"}},
            {{s.dir + "/random.earlier.run", "-x"}}, {.rss_mib = kDecodeMiB});
  }
  peer_decode_rows(s, "random");
}

// A tar of whole members unpacked through the extract command tar xf -, run in an empty directory
// each time, next to tar unpacking the same tar, uncompressed, by itself into an empty directory:
// how close the unpacking comes to tar alone.
void tree_row(const Setup &s) {
  std::string tree = s.dir + "/tree.tar", archive = s.dir + "/tree.run";
  prepare({{s.vardo, "-C", "", "-f", "tar xf -", tree}, archive});
  chmod(archive.c_str(), 0755);
  std::string ours_dir = s.dir + "/tree-ours", tar_dir = s.dir + "/tree-tar";
  Command ours = {{archive, "-q", "-n"}, "/dev/null", ours_dir};
  Command tar = {{"tar", "xf", tree}, "/dev/null", tar_dir};
  ours.fresh = ours_dir;
  tar.fresh = tar_dir;
  compare("tree: -q -n, extract command tar xf -, in an empty directory vs tar xf tree.tar in "
          "an empty directory",
          ours, tar);
  // Links compare as links: some point outside the tree or nowhere.
  std::string diff =
      "diff -r -q --no-dereference '" + ours_dir + "' '" + tar_dir + "' > /dev/null 2>&1";
  if (system(diff.c_str()) != 0) {
    emit("| tree | FAILED: the unpacked trees differ |");
    ++failures;
  }
}

// Our raw copies are 256 bytes (build) and 512 bytes (unpack) by design; dd copies in the same
// sizes, cat in its own.
void raw_rows(Setup &s) {
  std::string corpus = s.dir + "/p64", raw = s.dir + "/raw.run";
  const Command build = {{s.vardo, "-a", corpus}, raw};
  const Target build_note = {0, false, "ours copies 256 bytes at a time by design"};
  compare("raw build (-a) vs dd bs=256", build,
          {{"dd", "if=" + corpus, "bs=256", "status=none"}, s.dir + "/dd.out"}, build_note);
  compare("raw build (-a) vs cat", build, {{"cat", corpus}, s.dir + "/cat.out"}, build_note);
  chmod(raw.c_str(), 0755);
  const Command unpack = {{raw, "-x"}};
  const Target unpack_note = {0, false, "ours copies 512 bytes at a time by design"};
  compare("raw unpack (-x) vs dd bs=512", unpack, {{"dd", "if=" + corpus, "bs=512", "status=none"}},
          unpack_note);
  compare("raw unpack (-x) vs cat", unpack, {{"cat", corpus}}, unpack_note);
  size_rows(s.sizes, "raw (-a) p64", raw, s.vardo, "", "");
}

int allowed_processors() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

std::string processor_model() {
  std::string model = output_of("sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1");
  return (model.empty() ? "unknown" : model) + " (" +
         std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " processors online)";
}

std::string load_average() {
  std::string load = output_of("cut -d ' ' -f 1-3 /proc/loadavg");
  return load.empty() ? "unknown" : load;
}

// The earlier build, and the commit of the checkout it was built in when it lies in one.
std::string earlier_build(const std::string &path) {
  if (path.empty())
    return "none (no -b)";
  std::string dir = path.substr(0, path.rfind('/') + 1);
  std::string head = output_of("git -C '" + dir + "' rev-parse --short HEAD 2>/dev/null");
  return path + (head.empty() ? "" : " (built at commit " + head + ")");
}

std::string commit() {
  std::string head = output_of("git rev-parse HEAD 2>/dev/null");
  if (head.empty())
    return "unknown (not a git checkout)";
  if (!output_of("git status --porcelain --untracked-files=no 2>/dev/null").empty())
    head += " with uncommitted changes";
  return head;
}

// The corpora, made afresh in the work directory on every run: each is the same for the same
// files below /usr.
void make_corpora(Setup &s, bool large) {
  mkdir(s.dir.c_str(), 0755);
  make_mixed(s.dir + "/p64", 64u << 20);
  make_random(s.dir + "/random", 64u << 20);
  make_tree(s.dir + "/tree.tar", 64u << 20);
  if (large)
    make_mixed(s.dir + "/p512", 512u << 20);
  s.tools = {installed("pigz"), installed("libdeflate-gzip") && installed("libdeflate-gunzip")};
}

// The lines before the table: when, where, what was measured against what, and how.
void describe(const Setup &s, const std::string &command, bool large) {
  char date[64];
  time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  emit("# " + command);
  emit("");
  emit(format("- date: %s", date));
  emit("- processor: " + processor_model());
  emit("- commit: " + commit());
  emit("- earlier vardo: " + earlier_build(s.earlier));
  emit(format("- processors this run may use: %d, so the rows on all %d are the rows on %d",
              s.processors, s.processors, s.processors));
  emit("- load average (1, 5, 15 min) at the start: " + load_average());
  emit(format(
      "- inputs: p64 = %ld bytes cut from a tar of /usr/share and /usr/lib (sorted, "
      "mtime 0); %s",
      file_size(s.dir + "/p64"),
      large
          ? format("p512 = the first %ld bytes of the same tar", file_size(s.dir + "/p512")).c_str()
          : "p512 (its first 512 MiB) only with -L"));
  emit(format("- inputs: random = %ld bytes from mt19937_64 seed 1; tree = a tar of %ld bytes of "
              "whole members below /usr/share/doc and /usr/share/man in name order; NAME.gz = "
              "gzip -9 of NAME",
              file_size(s.dir + "/random"), file_size(s.dir + "/tree.tar")));
  emit(format("- each row: medians of %d alternating runs of ours and the reference, both on the "
              "same processors (a row pinned to N keeps the first N of the affinity mask, as "
              "taskset -c does; vardo's workers follow it); ratios are ours / reference, both "
              "measured in this run",
              runs));
  emit("- a directory unpacked into is emptied and synced before each run, outside the timing");
  emit("- CPU = user + system time of the command and every process it waited for (the extract "
       "command's shell and cat or tar, pigz's threads, vardo's worker processes), from wait4; "
       "the machine may be shared: CPU time is the fairer figure");
  emit("- RSS = peak resident memory of the largest of those processes, from wait4 (the peaks "
       "of several processes are not added up)");
}

// Our -x's peak resident memory on each processor count.
void memory_table(const Setup &s) {
  emit("");
  emit("| peak RSS | largest process MiB | all processes added up MiB | target |");
  emit("|---|--:|--:|---|");
  for (const auto &l : s.memory)
    emit(l);
}

// The sizes: payloads, overheads and the preambles.
void size_table(const Setup &s) {
  emit("");
  emit("| size | ours bytes | ref bytes | ratio | target |");
  emit("|---|--:|--:|--:|---|");
  for (const auto &l : s.sizes)
    emit(l);
  if (!s.earlier.empty())
    emit(format("| preamble (stripped %s) | %ld | | | the earlier vardo |", s.earlier.c_str(),
                file_size(s.earlier)));
  emit(format("| preamble (stripped %s) | %ld | | | <= 196608 %s |", s.vardo.c_str(),
              file_size(s.vardo), file_size(s.vardo) <= 196608 ? "ok" : "MISSED"));
}

void write_results(const std::string &path) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f || fputs(report.c_str(), f) < 0 || fclose(f) != 0) {
    perror(path.c_str());
    ++failures;
    return;
  }
  printf("\nwritten to %s\n", path.c_str());
}

} // namespace

int main(int argc, char **argv) {
  std::string results, earlier, command = "bench/compare";
  bool large = false;
  for (int i = 1; i < argc; ++i)
    command += std::string(" ") + argv[i];
  for (int opt; (opt = getopt(argc, argv, "n:o:b:L")) != -1;) {
    if (opt == 'n')
      runs = std::max(1, atoi(optarg));
    else if (opt == 'o')
      results = optarg;
    else if (opt == 'b')
      earlier = optarg;
    else if (opt == 'L')
      large = true;
    else
      return 2;
  }
  if (argc - optind != 2) {
    fprintf(stderr,
            "usage: compare [-n RUNS] [-o RESULTS.md] [-b EARLIER_VARDO] [-L] VARDO WORKDIR\n");
    return 2;
  }
  Setup s = {argv[optind], earlier, argv[optind + 1], allowed_processors()};
  // Rows run in other directories: every path must be absolute.
  char cwd[4096];
  std::string here = std::string(getcwd(cwd, sizeof cwd)) + "/";
  for (std::string *path : {&s.vardo, &s.dir, &s.earlier})
    if (!path->empty() && (*path)[0] != '/')
      *path = here + *path;
  make_corpora(s, large);
  describe(s, command, large);
  table_head();
  mixed_rows(s, "p64", true);
  random_rows(s);
  tree_row(s);
  if (large)
    mixed_rows(s, "p512", false);
  raw_rows(s);
  compare("start-up: vardo -h vs true", {{s.vardo, "-h"}}, {{"true"}});

  memory_table(s);
  size_table(s);
  emit("");
  emit("- load average (1, 5, 15 min) at the end: " + load_average());
  if (!results.empty())
    write_results(results);
  return failures ? 1 : 0;
}

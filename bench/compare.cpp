// Side-by-side benchmark of vardo against the usual tools. Each row runs our command and a
// reference command in turn, alternating, several times, and reports for each the median wall
// time, the median CPU time and the peak resident memory, then the ratios ours/reference. The
// table goes to standard output and, with -o, to a Markdown file with the date, the processor
// and the commit, so that runs can be compared.
//
//   compare [-n RUNS] [-o RESULTS.md] [-b EARLIER_VARDO] VARDO WORKDIR
//
// With -b the rows compare VARDO with an earlier build of it instead: building and unpacking the
// same corpora, building next to pigz on two processors, and the sizes of both payloads.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
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
};

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
  if (!c.remove.empty())
    unlink(c.remove.c_str());
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(c.cwd.c_str()) < 0)
      _exit(126);
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

void table_head() {
  emit("");
  emit("| row | ours wall s | ours CPU s | ours RSS MiB | ref wall s | ref CPU s | ref RSS MiB "
       "| CPU ratio | wall ratio | target |");
  emit("|---|--:|--:|--:|--:|--:|--:|--:|--:|---|");
}

// What a row must reach: the CPU ratio at most `cpu`, with `rss` our peak RSS at most the
// reference's, and the wall ratio at most `wall`. An empty target only informs.
struct Target {
  double cpu = 0;
  bool rss = false;
  const char *note = "";
  double wall = 0;
};

std::string judge(const Target &t, double cpu_ratio, double rss_ratio, double wall_ratio) {
  std::string s = t.note;
  if (t.wall > 0)
    s += format("wall <= %.2f %s", t.wall, wall_ratio <= t.wall ? "ok" : "MISSED");
  if (t.cpu > 0)
    s += format("%sCPU <= %.2f %s", s.empty() ? "" : ", ", t.cpu,
                cpu_ratio <= t.cpu ? "ok" : "MISSED");
  if (t.rss)
    s += format("%sRSS <= ref %s", s.empty() ? "" : ", ", rss_ratio <= 1.0 ? "ok" : "MISSED");
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
  double cpu_ratio = c[0] / std::max(c[1], 1e-3), wall_ratio = w[0] / std::max(w[1], 1e-3);
  double rss_ratio = static_cast<double>(rss[0]) / std::max(1L, rss[1]);
  emit(format("| %s | %.3f | %.3f | %.1f | %.3f | %.3f | %.1f | %.2f | %.2f | %s |", row.c_str(),
              w[0], c[0], rss[0] / 1024.0, w[1], c[1], rss[1] / 1024.0, cpu_ratio, wall_ratio,
              judge(target, cpu_ratio, rss_ratio, wall_ratio).c_str()));
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

// The build on every processor next to pigz on two, which it must keep up with in wall time.
void pigz_parallel_row(const std::string &name, const Command &build, const std::string &corpus,
                       const std::string &dir, const Tools &tools) {
  std::string row = name + ": build vs pigz -9 -p2 -c";
  if (tools.pigz)
    compare(row, build, {{"pigz", "-9", "-p2", "-c", corpus}, dir + "/pigz-p2.gz"},
            {0, false, "", 1.05});
  else
    missing(row, "pigz", "pigz");
}

void corpus_rows(const std::string &vardo, const std::string &dir, const std::string &name,
                 const Tools &tools, std::vector<std::string> &sizes) {
  std::string corpus = dir + "/" + name;
  std::string run_dir = dir + "/run-" + name;
  mkdir(run_dir.c_str(), 0755);
  std::string archive = dir + "/" + name + ".run", gz = dir + "/" + name + ".gz";
  auto row = [&](const char *what) { return name + ": " + what; };
  const Command build = {{vardo, "-C", "", corpus}, archive};

  compare(row("build vs gzip -9 -c"), build, {{"gzip", "-9", "-c", corpus}, gz}, {1.00, true});
  if (tools.pigz)
    compare(row("build vs pigz -9 -p1 -c"), build,
            {{"pigz", "-9", "-p1", "-c", corpus}, dir + "/pigz.gz"});
  else
    missing(row("build vs pigz -9 -p1 -c"), "pigz", "pigz");
  pigz_parallel_row(name, build, corpus, dir, tools);
  if (tools.libdeflate)
    compare(row("build vs libdeflate-gzip -9 -c"), build,
            {{"libdeflate-gzip", "-9", "-c", corpus}, dir + "/libdeflate.gz"});
  else
    missing(row("build vs libdeflate-gzip -9 -c"), "libdeflate-gzip", "libdeflate-tools");
  chmod(archive.c_str(), 0755);

  compare(row("unpack to a file vs gzip -dc > file"),
          {{archive}, "/dev/null", run_dir, run_dir + "/" + name},
          {{"gzip", "-dc", gz}, run_dir + "/out", ".", run_dir + "/out"}, {0.90, true});
  if (!same_file(run_dir + "/" + name, corpus) || !same_file(run_dir + "/out", corpus)) {
    emit(format("| %s | FAILED: unpacked bytes differ |", row("unpack to a file").c_str()));
    ++failures;
  }
  const Command x = {{archive, "-x"}};
  compare(row("-x > /dev/null vs gzip -dc"), x, {{"gzip", "-dc", gz}}, {0.75, true});
  if (tools.pigz)
    compare(row("-x > /dev/null vs pigz -dc"), x, {{"pigz", "-dc", gz}}, {1.15});
  else
    missing(row("-x > /dev/null vs pigz -dc"), "pigz", "pigz");
  if (tools.libdeflate)
    compare(row("-x > /dev/null vs libdeflate-gunzip -c"), x, {{"libdeflate-gunzip", "-c", gz}});
  else
    missing(row("-x > /dev/null vs libdeflate-gunzip -c"), "libdeflate-gunzip", "libdeflate-tools");
  size_rows(sizes, name, archive, vardo, gz, "gzip -9");
}

// Our raw copies are 256 bytes (build) and 512 bytes (unpack) by design; dd copies in the same
// sizes, cat in its own.
void raw_rows(const std::string &vardo, const std::string &dir, std::vector<std::string> &sizes) {
  std::string mixed = dir + "/mixed", raw = dir + "/raw.run";
  const Command build = {{vardo, "-a", mixed}, raw};
  const Target build_note = {0, false, "ours copies 256 bytes at a time by design"};
  compare("raw build (-a) vs dd bs=256", build,
          {{"dd", "if=" + mixed, "bs=256", "status=none"}, dir + "/dd.out"}, build_note);
  compare("raw build (-a) vs cat", build, {{"cat", mixed}, dir + "/cat.out"}, build_note);
  chmod(raw.c_str(), 0755);
  const Command unpack = {{raw, "-x"}};
  const Target unpack_note = {0, false, "ours copies 512 bytes at a time by design"};
  compare("raw unpack (-x) vs dd bs=512", unpack, {{"dd", "if=" + mixed, "bs=512", "status=none"}},
          unpack_note);
  compare("raw unpack (-x) vs cat", unpack, {{"cat", mixed}}, unpack_note);
  size_rows(sizes, "raw (-a) mixed", raw, vardo, "", "");
}

// The same build and unpacking by VARDO and by an earlier build of it, each unpacking its own
// archive, and the build next to pigz on two processors. The targets are those of the parallel
// build against the last single-threaded one: at most 0.60 of its wall time on two processors and
// 1.10 of its CPU time, a payload at most 0.1 % larger, and unpacking as fast as before.
void earlier_rows(const std::string &vardo, const std::string &earlier, const std::string &dir,
                  const Tools &tools, std::vector<std::string> &sizes) {
  for (std::string name : {"mixed", "random"}) {
    std::string corpus = dir + "/" + name;
    std::string ours = dir + "/" + name + ".run", theirs = dir + "/" + name + ".earlier.run";
    const Command build = {{vardo, "-C", "", corpus}, ours};
    compare(name + ": build vs the earlier vardo", build, {{earlier, "-C", "", corpus}, theirs},
            {1.10, false, "", 0.60});
    pigz_parallel_row(name, build, corpus, dir, tools);
    chmod(ours.c_str(), 0755);
    chmod(theirs.c_str(), 0755);
    compare(name + ": -x > /dev/null vs the earlier vardo", {{ours, "-x"}}, {{theirs, "-x"}},
            {1.02});
    long payload = payload_bytes(sizes, name, ours, vardo);
    long earlier_payload = payload_bytes(sizes, name + " (earlier)", theirs, earlier);
    if (payload >= 0 && earlier_payload >= 0)
      sizes.push_back(
          payload_row(name + " vs the earlier vardo's", payload, earlier_payload, 1.001));
  }
  sizes.push_back(format("| preamble (stripped %s) | %ld | | | the earlier vardo |",
                         earlier.c_str(), file_size(earlier)));
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

std::string commit() {
  std::string head = output_of("git rev-parse HEAD 2>/dev/null");
  if (head.empty())
    return "unknown (not a git checkout)";
  if (!output_of("git status --porcelain --untracked-files=no 2>/dev/null").empty())
    head += " with uncommitted changes";
  return head;
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
  std::string results, earlier;
  for (int opt; (opt = getopt(argc, argv, "n:o:b:")) != -1;) {
    if (opt == 'n')
      runs = std::max(1, atoi(optarg));
    else if (opt == 'o')
      results = optarg;
    else if (opt == 'b')
      earlier = optarg;
    else
      return 2;
  }
  if (argc - optind != 2) {
    fprintf(stderr, "usage: compare [-n RUNS] [-o RESULTS.md] [-b EARLIER_VARDO] VARDO WORKDIR\n");
    return 2;
  }
  std::string vardo = argv[optind], dir = argv[optind + 1];
  // Rows run in other directories: every path must be absolute.
  char cwd[4096];
  std::string here = std::string(getcwd(cwd, sizeof cwd)) + "/";
  for (std::string *path : {&vardo, &dir, &earlier})
    if (!path->empty() && (*path)[0] != '/')
      *path = here + *path;
  mkdir(dir.c_str(), 0755);
  const size_t size = 64u << 20;
  make_mixed(dir + "/mixed", size);
  make_random(dir + "/random", size);
  Tools tools = {installed("pigz"), installed("libdeflate-gzip") && installed("libdeflate-gunzip")};

  char date[64];
  time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  emit(earlier.empty() ? "# make bench" : "# bench/compare -b " + earlier);
  emit("");
  emit(format("- date: %s", date));
  emit("- processor: " + processor_model());
  emit("- commit: " + commit());
  emit("- load average (1, 5, 15 min) at the start: " + load_average());
  emit(format("- inputs: mixed = %ld bytes cut from a tar of /usr/share and /usr/lib (sorted, "
              "mtime 0); random = %ld bytes from mt19937_64 seed 1",
              file_size(dir + "/mixed"), file_size(dir + "/random")));
  emit(format("- each row: medians of %d alternating runs of ours and the reference. CPU = user + "
              "system time of the command and every process it waited for (the extract "
              "command's shell and cat, pigz's threads, vardo's compressing processes); RSS = peak "
              "resident memory of the largest of them. The machine may be shared: CPU time is the "
              "fairer figure.",
              runs));
  table_head();
  std::vector<std::string> sizes;
  if (!earlier.empty()) {
    earlier_rows(vardo, earlier, dir, tools, sizes);
  } else {
    corpus_rows(vardo, dir, "mixed", tools, sizes);
    corpus_rows(vardo, dir, "random", tools, sizes);
    raw_rows(vardo, dir, sizes);
    compare("start-up: vardo -h vs true", {{vardo, "-h"}}, {{"true"}});
  }

  emit("");
  emit("| size | ours bytes | ref bytes | ratio | target |");
  emit("|---|--:|--:|--:|---|");
  for (const auto &l : sizes)
    emit(l);
  emit(format("| preamble (stripped %s) | %ld | | | <= 163840 %s |", vardo.c_str(),
              file_size(vardo), file_size(vardo) <= 163840 ? "ok" : "MISSED"));
  emit("");
  emit("- load average (1, 5, 15 min) at the end: " + load_average());
  if (!results.empty())
    write_results(results);
  return failures ? 1 : 0;
}

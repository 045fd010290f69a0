// Side-by-side benchmark of vardo against the usual tools. Each row runs our command and a
// reference command in turn, alternating, several times, and reports the median of each and the
// ratio ours/reference. Peak resident memory comes from wait4's rusage.
//
//   compare VARDO WORKDIR [RUNS]
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct Command {
  std::vector<std::string> argv;
  std::string out = "/dev/null"; // standard output
  std::string cwd = ".";
  std::string remove; // a file removed before each run (the previous run's output)
};

struct Sample {
  double seconds;
  long max_rss_kib;
  int status;
};

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
          ru.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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

struct Result {
  double ours, ref;
  long ours_rss, ref_rss;
};

Result compare(const char *row, const Command &ours, const Command &ref, const char *target) {
  std::vector<double> a, b;
  long rss_a = 0, rss_b = 0;
  for (int i = 0; i < runs; ++i) {
    Sample s = run(ours);
    Sample t = run(ref);
    if ((s.status != 0 && ours.argv.back() != "-h") || t.status != 0) {
      printf("%-44s FAILED (status %d / %d)\n", row, s.status, t.status);
      ++failures;
      return {0, 0, 0, 0};
    }
    a.push_back(s.seconds);
    b.push_back(t.seconds);
    rss_a = std::max(rss_a, s.max_rss_kib);
    rss_b = std::max(rss_b, t.max_rss_kib);
  }
  double ma = median(a), mb = median(b);
  printf("%-44s %9.3f %9.3f %7.2f  %s\n", row, ma, mb, ma / mb, target);
  return {ma, mb, rss_a, rss_b};
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

void corpus_rows(const std::string &vardo, const std::string &dir, const std::string &name,
                 bool pigz, std::vector<std::string> &memory, std::vector<std::string> &sizes) {
  std::string corpus = dir + "/" + name;
  std::string run_dir = dir + "/run-" + name;
  mkdir(run_dir.c_str(), 0755);
  std::string archive = dir + "/" + name + ".run", gz = dir + "/" + name + ".gz";
  auto row = [&](const char *what) { return what + (" " + name); };

  Result build =
      compare(row("build: vardo vs gzip -9 -c").c_str(), {{vardo, "-C", "", corpus}, archive},
              {{"gzip", "-9", "-c", corpus}, gz}, "<= 1.00");
  chmod(archive.c_str(), 0755);
  Result file = compare(row("unpack to a file vs gzip -dc > file").c_str(),
                        {{archive}, "/dev/null", run_dir, run_dir + "/" + name},
                        {{"gzip", "-dc", gz}, run_dir + "/out", ".", run_dir + "/out"}, "<= 0.90");
  if (!same_file(run_dir + "/" + name, corpus) || !same_file(run_dir + "/out", corpus)) {
    printf("%-44s FAILED: unpacked bytes differ\n", row("unpack to a file").c_str());
    ++failures;
  }
  Result x = compare(row("-x > /dev/null vs gzip -dc").c_str(), {{archive, "-x"}},
                     {{"gzip", "-dc", gz}}, "<= 0.75");
  if (pigz)
    compare(row("-x > /dev/null vs pigz -dc").c_str(), {{archive, "-x"}}, {{"pigz", "-dc", gz}},
            "<= 1.15");
  else
    printf("%-44s missing: pigz is not installed (apt-get install pigz)\n",
           row("-x > /dev/null vs pigz -dc").c_str());

  char line[200];
  for (auto [what, r] : {std::pair{"build", build}, {"unpack to a file", file}, {"-x", x}}) {
    snprintf(line, sizeof line, "%-44s %9.1f %9.1f %7.2f  <= 1.00",
             (std::string("peak RSS MiB ") + what + " " + name).c_str(), r.ours_rss / 1024.0,
             r.ref_rss / 1024.0, static_cast<double>(r.ours_rss) / std::max(1L, r.ref_rss));
    memory.push_back(line);
  }
  long payload = file_size(archive) - file_size(vardo) - 11 - 2 - 1 - 1 -
                 static_cast<long>(strlen("NAME=") + name.size() + 1);
  snprintf(line, sizeof line, "%-44s %9ld %9ld %7.4f  <= 1.005",
           ("compressed size vs gzip -9 " + name).c_str(), payload, file_size(gz),
           static_cast<double>(payload) / file_size(gz));
  sizes.push_back(line);
  snprintf(line, sizeof line, "%-44s %9ld bytes (preamble %ld, header block %ld)",
           ("archive overhead " + name).c_str(), file_size(archive) - payload, file_size(vardo),
           file_size(archive) - payload - file_size(vardo));
  sizes.push_back(line);
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: compare VARDO WORKDIR [RUNS]\n");
    return 2;
  }
  std::string vardo = argv[1], dir = argv[2];
  if (argc > 3)
    runs = std::max(1, atoi(argv[3]));
  // Rows run in other directories: every path must be absolute.
  char cwd[4096];
  std::string here = std::string(getcwd(cwd, sizeof cwd)) + "/";
  if (vardo[0] != '/')
    vardo = here + vardo;
  if (dir[0] != '/')
    dir = here + dir;
  mkdir(dir.c_str(), 0755);
  const size_t size = 64u << 20;
  make_mixed(dir + "/mixed", size);
  make_random(dir + "/random", size);
  bool pigz = installed("pigz");

  printf("inputs: mixed = %ld bytes cut from a tar of /usr/share and /usr/lib (sorted, mtime 0); "
         "random = %ld bytes from mt19937_64 seed 1\n",
         file_size(dir + "/mixed"), file_size(dir + "/random"));
  printf("each row: median of %d alternating runs of ours and the reference\n\n", runs);
  printf("%-44s %9s %9s %7s  %s\n", "row", "ours s", "ref s", "ratio", "target");
  std::vector<std::string> memory, sizes;
  corpus_rows(vardo, dir, "mixed", pigz, memory, sizes);
  corpus_rows(vardo, dir, "random", pigz, memory, sizes);

  std::string raw = dir + "/raw.run";
  compare("raw build (-a) vs cat", {{vardo, "-a", dir + "/mixed"}, raw},
          {{"cat", dir + "/mixed"}, dir + "/cat.out"}, "(256-byte copies)");
  chmod(raw.c_str(), 0755);
  compare("raw unpack (-x) vs cat", {{raw, "-x"}}, {{"cat", dir + "/mixed"}}, "(512-byte copies)");
  compare("start-up: vardo -h vs /bin/true", {{vardo, "-h"}}, {{"true"}}, "");
  printf("\n%-44s %9s %9s %7s\n", "memory", "ours", "gzip", "ratio");
  for (const auto &l : memory)
    printf("%s\n", l.c_str());
  printf("(unpack to a file counts the whole job: vardo, and the extract command's sh and cat;\n"
         " the -x rows show vardo's own peak)\n");
  printf("\n%-44s %9s %9s %7s\n", "size", "ours", "gzip -9", "ratio");
  for (const auto &l : sizes)
    printf("%s\n", l.c_str());
  printf("preamble: %ld bytes (stripped %s; target <= 131072)\n", file_size(vardo), vardo.c_str());
  return failures ? 1 : 0;
}

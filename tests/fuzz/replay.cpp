// Replays seed corpora through a fuzz target without libFuzzer, so that the sanitizer build of
// the test suite runs every target on its seeds with the system's compiler:
//
//   replay_TARGET DIR...
//
// Each file of each directory, in name order, is one input. A sanitizer report ends the process
// with its own status; a clean replay prints how many inputs it ran and exits 0.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize)
    LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-')
      continue; // an option meant for libFuzzer
    for (const auto &entry : std::filesystem::directory_iterator(argv[i]))
      if (entry.is_regular_file())
        inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs to replay\n", argv[0]);
    return 1;
  }
  for (const auto &path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
  }
  printf("replayed %zu inputs\n", inputs.size());
  return 0;
}

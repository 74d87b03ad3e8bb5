// Runs a fuzz target over files and folders of inputs, without libFuzzer, so
// every target also builds with g++ and replays its seeds and regressions.
// A missing input fails the run: a misnamed seed folder must not pass unseen.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::exists(argv[i])) {
      fprintf(stderr, "replay: no such input %s\n", argv[i]);
      return 1;
    }
    if (!fs::is_directory(argv[i]))
      inputs.emplace_back(argv[i]);
    else
      for (const auto &entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
          inputs.push_back(entry.path());
  }
  for (const fs::path &path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  printf("replayed %zu inputs\n", inputs.size());
  return 0;
}

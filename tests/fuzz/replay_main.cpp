// Runs a fuzz target over files and folders of inputs, without libFuzzer, so
// every target also builds with g++ and replays its seeds and regressions.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "replay: no such input %s\n", path.c_str());
    return 1;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
      return 1;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir))
      if (entry->d_name[0] != '.')
        names.push_back(path + "/" + entry->d_name);
    closedir(dir);
    int count = 0;
    for (const std::string &name : names)
      count += replay(name);
    return count;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i)
    count += replay(argv[i]);
  printf("replayed %d inputs\n", count);
  return 0;
}

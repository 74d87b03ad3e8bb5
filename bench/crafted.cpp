#include "crafted.h"

#include "local_measures.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int passes = 3;

std::string box_header(uint32_t size, const char *code) {
  std::string header(8, '\0');
  for (int i = 0; i < 4; ++i)
    header[static_cast<size_t>(i)] = static_cast<char>(size >> (24 - 8 * i));
  header.replace(4, 4, code);
  return header;
}

struct crafted_file {
  const char *name;
  const char *what;
  // Each piece at its offset; the file is as long as `size`, holes between.
  std::vector<std::pair<uint64_t, std::string>> pieces;
  uint64_t size;
};

std::vector<crafted_file> crafted_files() {
  crafted_file movies{"empty_movies.mp4", "2,000 empty moov boxes in 16 KB", {}, 0};
  std::string all;
  for (int i = 0; i < 2000; ++i)
    all += box_header(8, "moov");
  movies.pieces.emplace_back(0, all);
  movies.size = all.size();

  // Each empty movie box followed by a 64 KiB free box: every header the walk
  // visits lies in a window of its own. Written sparse: 72 MB apparent.
  crafted_file spread{"spread_movies.mp4", "1,100 empty moov each before a 64 KiB free box, sparse", {}, 0};
  constexpr uint32_t free_size = 65536 + 8;
  uint64_t at = 0;
  for (int i = 0; i < 1100; ++i) {
    spread.pieces.emplace_back(at, box_header(8, "moov") + box_header(free_size, "free"));
    at += 8 + free_size;
  }
  spread.size = at;
  return {movies, spread};
}

bool write_crafted(const crafted_file &file, const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool ok = ftruncate(fd, static_cast<off_t>(file.size)) == 0;
  for (const auto &[offset, bytes] : file.pieces)
    ok = ok && pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
}

} // namespace

bool measure_crafted(const std::string &binary, const std::string &dir, std::string *report, bool *over,
                     std::string *error) {
  *over = false;
  for (const crafted_file &file : crafted_files()) {
    std::string path = dir + "/" + file.name;
    if (!write_crafted(file, path)) {
      *error = "can't write " + path;
      return false;
    }
    worker_run run;
    bool measured = measure_worker(binary, std::vector<std::string>(passes, path), &run, error);
    g_remove(path.c_str());
    if (!measured)
      return false;
    // The worker's own CPU time is the cost; the latency also holds the
    // waits of a busy machine.
    double cpu = run.cpu_us >= 0 ? run.cpu_us / passes : -1;
    double worst = run.latencies_us.empty() ? 0 : *std::max_element(run.latencies_us.begin(), run.latencies_us.end());
    bool passes_bound = cpu >= 0 && cpu <= crafted_bound_us;
    *over = *over || !passes_bound;
    char line[320];
    snprintf(line, sizeof line, "crafted %-18s %9.0f us CPU per parse, %9.0f us slowest answer (%s): %s\n", file.name,
             cpu, worst, file.what, passes_bound ? "within the bound" : "OVER THE BOUND");
    *report += line;
  }
  return true;
}

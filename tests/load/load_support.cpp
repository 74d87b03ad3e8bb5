#include "load_support.h"

#include "qs/bus_fixture.h"

#include "process_stats.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

unsigned load_seed(unsigned fallback) {
  const char *set = getenv("MS_LOAD_SEED");
  unsigned seed = set != nullptr ? static_cast<unsigned>(strtoul(set, nullptr, 10)) : fallback;
  printf("seed %u (set MS_LOAD_SEED=%u to repeat this run)\n", seed, seed);
  fflush(stdout);
  ::testing::Test::RecordProperty("seed", static_cast<int>(seed));
  return seed;
}

corpus load_corpus(const temp_dir &dir, size_t count) {
  corpus c;
  std::string error;
  if (!corpus_build(MS_TEST_DATA_DIR, dir.path, count, &c, &error))
    ADD_FAILURE() << "corpus: " << error;
  return c;
}

std::string compact_json(const std::string &text) {
  json_ptr value = parse_json(text);
  if (value == nullptr)
    return "(not JSON) " + text.substr(0, 300);
  return json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN);
}

const std::string &expected_entries::entry(const std::string &path) {
  auto found = cache.find(path);
  if (found != cache.end())
    return found->second;
  return cache[path] = expected_entry(path);
}

std::string expected_entries::reply(const std::vector<std::string> &paths) {
  std::string out = "{\"returnValue\":true,\"files\":[";
  for (size_t i = 0; i < paths.size(); ++i)
    out += (i > 0 ? "," : "") + entry(paths[i]);
  return out + "]}";
}

std::string asan_options_with(const std::string &option) {
  const char *current = getenv("ASAN_OPTIONS");
  if (current == nullptr || *current == '\0')
    return option;
  return std::string(current) + ":" + option;
}

std::vector<std::string> logged_request_lines(const std::string &log, const std::string &marker) {
  // The broker logs the request line with its own line feed, so the line
  // ends at the first line feed after the marker.
  std::vector<std::string> lines;
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    size_t start = at + marker.size();
    size_t end = log.find('\n', start);
    lines.push_back(log.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  return lines;
}

std::string path_of_request(const std::string &line) {
  size_t colon = line.find(':');
  return colon == std::string::npos ? "" : line.substr(colon + 1);
}

long resident_kib(pid_t pid) { return status_kib(pid, "VmRSS"); }

// Pairing of the broker's answers with a request's paths, and the idle delay.
#include "service/batch_record.h"
#include "service/lifetime.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using texts = std::vector<std::string>;

// A batch for `paths`, every one queued with the broker.
parse_batch *batch_for(const texts &paths, size_t record_budget = G_MAXSIZE) {
  GArray *array = string_array(paths);
  parse_batch *batch = parse_batch_new(nullptr, array, record_budget);
  string_array_free_all(&array);
  for (size_t i = 0; i < paths.size(); ++i)
    g_array_index(batch->queued, bool, i) = true;
  return batch;
}

std::vector<double> doubles(const GArray *array) {
  auto *values = reinterpret_cast<const double *>(array->data);
  return {values, values + array->len};
}

const std::string D = dropped_record;
const std::string L = reply_too_large_record;

TEST(ParseBatch, EveryPathGetsOneEntryInItsPlace) {
  struct {
    const char *name;
    texts paths;
    std::vector<std::pair<std::string, std::string>> answers; // path reported, record
    texts expected;
    size_t budget = G_MAXSIZE; // bytes of record text the batch may hold
  } cases[] = {
      {"all answered", {"/a", "/b", "/c"}, {{"/a", "A"}, {"/b", "B"}, {"/c", "C"}}, {"A", "B", "C"}},
      {"middle dropped", {"/a", "/b", "/c"}, {{"/a", "A"}, {"/c", "C"}}, {"A", D, "C"}},
      {"first dropped", {"/a", "/b"}, {{"/b", "B"}}, {D, "B"}},
      {"last dropped", {"/a", "/b"}, {{"/a", "A"}}, {"A", D}},
      {"none answered", {"/a", "/b"}, {}, {D, D}},
      {"empty path dropped", {"/a", "", "/b"}, {{"/a", "A"}, {"/b", "B"}}, {"A", D, "B"}},
      {"duplicate paths fill in order", {"/a", "/a"}, {{"/a", "A1"}, {"/a", "A2"}}, {"A1", "A2"}},
      {"duplicate with one lost", {"/a", "/a"}, {{"/a", "A"}}, {"A", D}},
      {"trailing white space reported stripped", {"/a \t"}, {{"/a", "A"}}, {"A"}},
      {"unknown answer ignored", {"/a", "/b"}, {{"/zzz", "Z"}, {"/b", "B"}}, {D, "B"}},
      {"answer for an already answered path ignored", {"/a", "/b"}, {{"/b", "B"}, {"/a", "A"}}, {D, "B"}},
      {"records within the budget kept whole", {"/a", "/b"}, {{"/a", "AA"}, {"/b", "BB"}}, {"AA", "BB"}, 4},
      {"past the budget, that record and every later one refused",
       {"/a", "/b", "/c", "/d"},
       {{"/a", "AA"}, {"/b", "BBB"}, {"/c", "C"}},
       {"AA", L, L, L},
       4},
  };
  for (const auto &c : cases) {
    parse_batch *batch = batch_for(c.paths, c.budget);
    for (const auto &[path, json] : c.answers)
      parse_batch_collect(batch, path.c_str(), json.c_str());
    parse_batch_complete(batch);
    texts results;
    for (guint i = 0; i < batch->results->len; ++i)
      results.push_back(g_array_index(batch->results, char *, i));
    EXPECT_EQ(results, c.expected) << c.name;
    EXPECT_EQ(batch->sizes->len, c.expected.size()) << c.name;
    EXPECT_EQ(batch->modified->len, c.expected.size()) << c.name;
    parse_batch_free(batch);
  }
}

// The size and time are the worker's, never looked up again: a file that
// exists on disk but was not answered gets 0 and 0 like a missing one.
TEST(ParseBatch, EntriesCarryTheSizeAndTimeTheWorkerFound) {
  temp_dir dir;
  std::string file = dir.write("f.m3u", "#EXTM3U\n/x.mp3\n");
  parse_batch *batch = batch_for({file, dir.path + "/missing", file, file});
  parse_batch_collect(batch, file.c_str(), "{}", 15, 1700000000);
  parse_batch_collect(batch, (dir.path + "/missing").c_str(), "{}");
  parse_batch_collect(batch, file.c_str(), "{}", 15, -3);
  parse_batch_complete(batch); // the fourth was dropped
  EXPECT_EQ(doubles(batch->sizes), (std::vector<double>{15, 0, 15, 0}));
  EXPECT_EQ(doubles(batch->modified), (std::vector<double>{1700000000, 0, -3, 0}));
  parse_batch_free(batch);
}

TEST(QuitDelay, ReadsTheEnvironmentText) {
  struct {
    const char *value;
    bool armed;
    guint seconds;
  } cases[] = {
      {nullptr, true, 15},       {"0", false, 0},  {"3", true, 3},
      {"00", true, 0},           {"abc", true, 0}, {"7s", true, 7},
      {"-1", true, G_MAXUINT32}, {"4294967296", true, G_MAXUINT32}, {"4294967295", true, G_MAXUINT32},
  };
  for (const auto &c : cases) {
    guint seconds = 12345;
    EXPECT_EQ(quit_delay_seconds(c.value, &seconds), c.armed) << (c.value ? c.value : "(unset)");
    if (c.armed) {
      EXPECT_EQ(seconds, c.seconds) << (c.value ? c.value : "(unset)");
    }
  }
}

} // namespace

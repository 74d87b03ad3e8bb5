// Pairing of the broker's answers with a request's paths, and the idle delay.
#include "service/batch_record.h"
#include "service/lifetime.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace {

GArray *text_array(const std::vector<std::string> &texts) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(char *));
  for (const std::string &t : texts) {
    char *copy = g_strdup(t.c_str());
    g_array_append_val(array, copy);
  }
  return array;
}

std::vector<std::string> results_of(const parse_batch *batch) {
  std::vector<std::string> out;
  for (guint i = 0; i < batch->results->len; ++i)
    out.push_back(g_array_index(batch->results, char *, i));
  return out;
}

const std::string D = dropped_record;

TEST(ParseBatch, EveryPathGetsOneEntryInItsPlace) {
  struct {
    const char *name;
    std::vector<std::string> paths;
    std::vector<bool> queued;
    std::vector<std::pair<std::string, std::string>> answers;
    std::vector<std::string> expected;
  } cases[] = {
      {"all answered", {"/a", "/b", "/c"}, {true, true, true}, {{"/a", "A"}, {"/b", "B"}, {"/c", "C"}}, {"A", "B", "C"}},
      {"middle dropped", {"/a", "/b", "/c"}, {true, true, true}, {{"/a", "A"}, {"/c", "C"}}, {"A", D, "C"}},
      {"first dropped", {"/a", "/b"}, {true, true}, {{"/b", "B"}}, {D, "B"}},
      {"last dropped", {"/a", "/b"}, {true, true}, {{"/a", "A"}}, {"A", D}},
      {"none answered", {"/a", "/b"}, {true, true}, {}, {D, D}},
      {"empty path dropped", {"/a", "", "/b"}, {true, true, true}, {{"/a", "A"}, {"/b", "B"}}, {"A", D, "B"}},
      {"duplicate paths fill in order", {"/a", "/a"}, {true, true}, {{"/a", "A1"}, {"/a", "A2"}}, {"A1", "A2"}},
      {"duplicate with one lost", {"/a", "/a"}, {true, true}, {{"/a", "A"}}, {"A", D}},
      {"trailing white space reported stripped", {"/a \t"}, {true}, {{"/a", "A"}}, {"A"}},
      // A path not sent must never take the answer of a later one.
      {"unsent path skipped", {"/a\n", "/a"}, {false, true}, {{"/a", "A"}}, {D, "A"}},
      {"unknown answer ignored", {"/a", "/b"}, {true, true}, {{"/zzz", "Z"}, {"/b", "B"}}, {D, "B"}},
      {"answer for an already answered path ignored", {"/a", "/b"}, {true, true}, {{"/b", "B"}, {"/a", "A"}}, {D, "B"}},
  };
  for (const auto &c : cases) {
    GArray *paths = text_array(c.paths);
    parse_batch *batch = parse_batch_new(nullptr, paths);
    string_array_free_all(&paths);
    for (size_t i = 0; i < c.queued.size(); ++i)
      g_array_index(batch->queued, bool, i) = c.queued[i];
    for (const auto &[path, json] : c.answers)
      parse_batch_collect(batch, path.c_str(), json.c_str());
    parse_batch_complete(batch);
    EXPECT_EQ(results_of(batch), c.expected) << c.name;
    EXPECT_EQ(batch->sizes->len, c.expected.size()) << c.name;
    EXPECT_EQ(batch->modified->len, c.expected.size()) << c.name;
    parse_batch_free(batch);
  }
}

TEST(ParseBatch, EntriesCarryTheFilesSizeAndTime) {
  temp_dir dir;
  std::string file = dir.write("f.m3u", "#EXTM3U\n/x.mp3\n");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  GArray *paths = text_array({file, dir.path + "/missing", file});
  parse_batch *batch = parse_batch_new(nullptr, paths);
  string_array_free_all(&paths);
  for (guint i = 0; i < 3; ++i)
    g_array_index(batch->queued, bool, i) = true;
  parse_batch_collect(batch, file.c_str(), "{}");
  parse_batch_collect(batch, (dir.path + "/missing").c_str(), "{}");
  parse_batch_complete(batch); // the third was dropped: still sized
  ASSERT_EQ(batch->sizes->len, 3u);
  EXPECT_EQ(g_array_index(batch->sizes, double, 0), 15.0);
  EXPECT_EQ(g_array_index(batch->modified, double, 0), static_cast<double>(info.st_mtime));
  EXPECT_EQ(g_array_index(batch->sizes, double, 1), 0.0);
  EXPECT_EQ(g_array_index(batch->modified, double, 1), 0.0);
  EXPECT_EQ(g_array_index(batch->sizes, double, 2), 15.0);
  parse_batch_free(batch);
}

TEST(ParseBatch, PathsThatWouldSplitARequestLineAreKeptOff) {
  struct {
    const char *path;
    bool fits;
  } cases[] = {
      {"/music/a.mp3", true},   {"", true},
      {"/with space ", true},   {"/caf\xc3\xa9", true},
      {"/a\nb", false},         {"/a\rb", false},
      {"/a\xe2\x80\xa9" "b", false}, {"/a\xe2\x80\xa8" "b", true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(path_fits_request_line(c.path), c.fits) << c.path;
}

TEST(QuitDelay, ReadsTheEnvironmentText) {
  struct {
    const char *value;
    bool armed;
    guint seconds;
  } cases[] = {
      {nullptr, true, 15},     {"0", false, 0},          {"3", true, 3},
      {"00", true, 0},         {"abc", true, 0},         {"7s", true, 7},
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

// Every fixture under tests/data with a record FILE.json beside it gives that
// record whole through the dispatch, and logs exactly the lines of FILE.log
// beside it (none when there is no such file). Tool-made files and the
// malformed ones tests/data/make_malformed.py writes are checked alike.
// MS_UPDATE_GOLDEN=1 writes the records and logs instead: read them before
// committing.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

TEST(GoldenRecords, EveryFixtureGivesTheRecordAndLogBesideIt) {
  std::vector<fs::path> fixtures;
  for (const auto &entry : fs::recursive_directory_iterator(data_path("")))
    if (entry.is_regular_file() && fs::exists(entry.path().string() + ".json"))
      fixtures.push_back(entry.path());
  std::sort(fixtures.begin(), fixtures.end());
  ASSERT_GT(fixtures.size(), 40u);
  const bool update = getenv("MS_UPDATE_GOLDEN") != nullptr;
  for (const fs::path &fixture : fixtures) {
    const std::string path = fixture.string(), log_path = path + ".log";
    log_capture logs;
    json_ptr record = record_of(path);
    ASSERT_TRUE(record) << path;
    std::string logged;
    for (const std::string &line : logs.lines)
      logged += line;
    const std::string want_log = fs::exists(log_path) ? read_file(log_path) : "";
    if (update && (json_text(record.get()) != canonical_json(read_file(path + ".json")) || logged != want_log)) {
      std::ofstream(path + ".json") << json_object_to_json_string_ext(
                                           record.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE)
                                    << "\n";
      fs::remove(log_path);
      if (!logged.empty())
        std::ofstream(log_path) << logged;
      continue;
    }
    EXPECT_EQ(json_text(record.get()), canonical_json(read_file(path + ".json"))) << path;
    EXPECT_EQ(logged, want_log) << path;
  }
}

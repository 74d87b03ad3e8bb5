// The benchmark's own arithmetic and checks: the figures it prints are only
// as good as these.
#include "corpus.h"
#include "peers.h"
#include "process_stats.h"
#include "report.h"
#include "service_measures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

namespace {

TEST(BenchFigures, PercentileTakesTheNearestRank) {
  struct {
    std::vector<double> values;
    double q;
    double want;
  } cases[] = {
      {{}, 0.5, 0},
      {{7}, 0.99, 7},
      {{3, 1, 2}, 0.5, 2},
      {{1, 2, 3, 4}, 0.5, 2},
      {{1, 2, 3, 4}, 0.0, 1},
      {{1, 2, 3, 4}, 1.0, 4},
      {{5, 1, 4, 2, 3, 6, 7, 8, 9, 100}, 0.99, 100},
  };
  for (const auto &c : cases)
    EXPECT_EQ(percentile(c.values, c.q), c.want) << "q " << c.q << " of " << c.values.size() << " values";
}

TEST(BenchFigures, RatiosAreTakenAgainstTheNamedRows) {
  bench_results r;
  r.rows = {{"floor", "", 1000, 0.01, true, ""},
            {"worker", "", 1000, 0.1, true, ""},
            {"service", "", 1000, 0.2, true, ""},
            {"absent", "", 1000, 0, false, "not installed"}};
  EXPECT_DOUBLE_EQ(files_per_second(r.rows[0]), 100000);
  EXPECT_DOUBLE_EQ(ratio_to(r, r.rows[1], "floor"), 0.1);
  EXPECT_DOUBLE_EQ(ratio_to(r, r.rows[1], "service"), 2.0);
  EXPECT_DOUBLE_EQ(ratio_to(r, r.rows[3], "floor"), 0) << "a tool that did not run has no ratio";
  EXPECT_DOUBLE_EQ(ratio_to(r, r.rows[1], "no such row"), 0);
}

TEST(BenchFigures, JsonCarriesEveryRowAndTheMemoryFigures) {
  bench_results r;
  r.cores = 2;
  r.files = 10;
  r.floor_row = "floor";
  r.service_row = "floor";
  r.rows = {{"floor", "how", 10, 0.5, true, ""}, {"peer", "", 10, 0, false, "missing"}};
  r.worker_rss_after_100_kib = 6000;
  json_ptr parsed = parse_json(report_json(r));
  ASSERT_NE(parsed, nullptr);
  json_object *measures = json_object_object_get(parsed.get(), "measures");
  ASSERT_EQ(json_object_array_length(measures), 2u);
  EXPECT_DOUBLE_EQ(json_object_get_double(json_object_object_get(json_object_array_get_idx(measures, 0),
                                                                 "filesPerSecond")),
                   20);
  EXPECT_STREQ(get_string_field(json_object_array_get_idx(measures, 1), "skipped"), "missing");
  EXPECT_EQ(json_object_get_int(json_object_object_get(
                json_object_object_get(parsed.get(), "residentMemory"), "workerAfter100KiB")),
            6000);
  EXPECT_NE(report_table(r).find("skipped: missing"), std::string::npos);
}

TEST(BenchFigures, EvenSampleSpreadsOverTheList) {
  std::vector<std::string> ten = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
  EXPECT_EQ(even_sample(ten, 5), (std::vector<std::string>{"0", "2", "4", "6", "8"}));
  EXPECT_EQ(even_sample(ten, 20), ten);
  EXPECT_TRUE(even_sample(ten, 0).empty());
}

TEST(BenchCorpus, KindsComeInTurnAndFilesAreRealCopies) {
  temp_dir dir;
  corpus c;
  std::string error;
  ASSERT_TRUE(corpus_build(MS_TEST_DATA_DIR, dir.path, 25, &c, &error)) << error;
  ASSERT_EQ(c.files.size(), 25u);
  std::map<std::string, int> per_kind;
  for (size_t i = 0; i < c.files.size(); ++i) {
    EXPECT_EQ(c.files[i].kind, corpus_kinds()[i % corpus_kinds().size()]);
    EXPECT_EQ(access(c.files[i].path.c_str(), R_OK), 0) << c.files[i].path;
    ++per_kind[c.files[i].kind];
  }
  EXPECT_EQ(per_kind["mp3"], 5);
  EXPECT_EQ(per_kind["unknown"], 4);
  EXPECT_EQ(read_file(c.files[0].path), read_file(data_path("id3/v24_two_pictures.mp3")));
  EXPECT_EQ(corpus_paths(c, true).size(), 9u) << "MP3 and MPEG-4 files are the audio ones";

  corpus again;
  temp_dir other;
  ASSERT_TRUE(corpus_build(MS_TEST_DATA_DIR, other.path, 25, &again, &error));
  for (size_t i = 0; i < c.files.size(); ++i)
    EXPECT_EQ(read_file(c.files[i].path), read_file(again.files[i].path)) << "the corpus is the same every run";
}

TEST(BenchCorpus, AMissingFixtureFolderIsAnError) {
  temp_dir dir;
  corpus c;
  std::string error;
  EXPECT_FALSE(corpus_build(dir.path + "/nothing", dir.path, 5, &c, &error));
  EXPECT_NE(error.find("no fixture"), std::string::npos) << error;
}

TEST(BenchReplies, AReplyMustNameExactlyItsPathsInOrder) {
  std::vector<std::string> paths = {"/a", "/b"};
  std::string entry_a = "{\"path\":\"/a\",\"data\":{}}";
  std::string entry_b = "{\"path\":\"/b\",\"data\":{}}";
  struct {
    std::string reply;
    bool ok;
  } cases[] = {
      {"{\"returnValue\":true,\"files\":[" + entry_a + "," + entry_b + "]}", true},
      {"{\"returnValue\":true,\"files\":[" + entry_b + "," + entry_a + "]}", false},
      {"{\"returnValue\":true,\"files\":[" + entry_a + "]}", false},
      {"{\"returnValue\":false,\"errorText\":\"failedParse\"}", false},
      {"not json", false},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_EQ(reply_matches(c.reply, paths, &error), c.ok) << c.reply << ": " << error;
  }
  EXPECT_EQ(parse_payload({"/a", "/with \"quote\""}), "{\"files\":[\"\\/a\",\"\\/with \\\"quote\\\"\"]}");
}

} // namespace

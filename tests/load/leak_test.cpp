// The worker under valgrind's memcheck over every fixture, every fuzz seed
// and the malformed requests: no byte may be definitely or indirectly lost,
// and no invalid read or write may happen.
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <glib.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

void collect_files(const std::string &dir, std::vector<std::string> *out) {
  GDir *listing = g_dir_open(dir.c_str(), 0, nullptr);
  if (listing == nullptr)
    return;
  while (const char *name = g_dir_read_name(listing)) {
    std::string path = dir + "/" + name;
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR))
      collect_files(path, out);
    else if (!g_str_has_suffix(name, ".cpp") && !g_str_has_suffix(name, ".h") && !g_str_has_suffix(name, ".txt"))
      out->push_back(path);
  }
  g_dir_close(listing);
}

TEST(WorkerLeaks, MemcheckFindsNothingOverEveryFixture) {
  g_autofree char *valgrind = g_find_program_in_path("valgrind");
  if (valgrind == nullptr)
    GTEST_SKIP() << "valgrind is not installed";
  std::vector<std::string> paths;
  collect_files(MS_TEST_DATA_DIR, &paths);
  for (const char *format : {"id3", "mp4", "image", "playlist"})
    collect_files(std::string(MS_TEST_DATA_DIR) + "/../fuzz/" + format, &paths);
  ASSERT_GT(paths.size(), 40u);

  temp_dir dir;
  std::string requests;
  size_t answers = 0;
  for (size_t i = 0; i < paths.size(); ++i, ++answers)
    requests += std::to_string(i + 1) + ":" + paths[i] + "\n";
  // The failure paths: a missing file, a folder, a malformed line, an empty path.
  for (const char *odd : {"900:/nonexistent/file.mp3\n", "901:/tmp\n", "no colon here\n", "902:\n"}) {
    requests += odd;
    ++answers;
  }
  std::string input = dir.write("requests", requests);
  std::string output = dir.path + "/answers";
  std::string report = dir.path + "/memcheck";
  std::string command = std::string(valgrind) +
                        " --quiet --leak-check=full --show-leak-kinds=definite,indirect"
                        " --errors-for-leak-kinds=definite,indirect --error-exitcode=99 " +
                        LEAK_WORKER + " -demon <" + input + " >" + output + " 2>" + report;
  int status = system(command.c_str());
  std::string memcheck = read_file(report);
  ASSERT_TRUE(WIFEXITED(status)) << memcheck;
  EXPECT_EQ(WEXITSTATUS(status), 11) << "memcheck found errors or the worker did not end on end of input:\n"
                                     << memcheck;
  // Quiet, memcheck says nothing unless it found something; its lines start
  // with "==PID==", the worker's own log lines don't.
  g_autoptr(GRegex) finding = g_regex_new("^==[0-9]+==", G_REGEX_MULTILINE, GRegexMatchFlags(0), nullptr);
  EXPECT_FALSE(g_regex_match(finding, memcheck.c_str(), GRegexMatchFlags(0), nullptr)) << memcheck;

  std::string answered = read_file(output);
  size_t lines = 0;
  for (char c : answered)
    lines += c == '\n';
  EXPECT_EQ(lines, answers) << "every request gets its answer line";
}

} // namespace

// The worker under valgrind's memcheck over every fixture, every fuzz seed
// and the malformed requests: no byte may be definitely or indirectly lost,
// and no invalid read or write may happen.
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <glib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(WorkerLeaks, MemcheckFindsNothingOverEveryFixture) {
  g_autofree char *valgrind = g_find_program_in_path("valgrind");
  if (valgrind == nullptr)
    GTEST_SKIP() << "valgrind is not installed";
  std::vector<std::string> paths;
  for (const char *folder : {"", "/../fuzz/id3", "/../fuzz/mp4", "/../fuzz/image", "/../fuzz/playlist"})
    for (const auto &entry : std::filesystem::recursive_directory_iterator(MS_TEST_DATA_DIR + std::string(folder))) {
      std::string ext = entry.path().extension();
      if (!entry.is_directory() && ext != ".cpp" && ext != ".h" && ext != ".txt")
        paths.push_back(entry.path());
    }
  ASSERT_GT(paths.size(), 40u);

  temp_dir dir;
  std::string requests;
  for (size_t i = 0; i < paths.size(); ++i)
    requests += std::to_string(i + 1) + ":" + paths[i] + "\n";
  // The failure paths: a missing file, a folder, a malformed line, an empty path.
  requests += "900:/nonexistent/file.mp3\n901:/tmp\nno colon here\n902:\n";
  const size_t answers = paths.size() + 4;
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
  EXPECT_EQ(static_cast<size_t>(std::count(answered.begin(), answered.end(), '\n')), answers)
      << "every request gets its answer line";
}

} // namespace

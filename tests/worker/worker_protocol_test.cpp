// The worker binary driven over its pipes, as the service drives it.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string failed = "{\"returnValue\":false}";
const std::string unknown_record = "{ \"returnValue\": true, \"type\": \"unknown\", \"subtype\": \"unknown\" }";
const std::string hook = "::test::toxic::neverreturn::";

} // namespace

TEST(WorkerProtocol, AnswersEachRequestShapeInOrder) {
  temp_dir dir;
  std::string plain = dir.write("plain.xyz", "nothing to see");
  std::string colon = dir.write("with:colon.xyz", "x");
  std::string quoted = dir.write("quote\"back\\slash.xyz", "x");

  worker_process worker;
  const struct {
    std::string request;
    std::string answer;
  } rows[] = {
      {"5:" + plain + "\n", "5:" + unknown_record},
      {"6:/nonexistent/file.mp3\n", "6:" + failed},
      {"no colon here\n", failed},
      {"\n", failed},
      {"7:\n", failed},
      {"7:   \r\n", failed}, // nothing left once trailing space is stripped
      {"007:" + plain + "\n", "7:" + unknown_record},
      {"-3:" + plain + "\n", "-3:" + unknown_record},
      {"x:" + plain + "\n", "0:" + unknown_record},
      {"  +12:" + plain + "\n", "12:" + unknown_record},
      {"9223372036854775807:" + plain + "\n", "9223372036854775807:" + unknown_record},
      {"8:" + colon + "\n", "8:" + unknown_record},
      {"9:" + quoted + "  \t\r\n", "9:" + unknown_record},
      {"10: " + plain + "\n", "10:" + failed}, // a leading space belongs to the path
  };
  // Written back to back: each is answered in order, flushed on its own.
  std::string all;
  for (const auto &row : rows)
    all += row.request;
  worker.send(all);
  for (const auto &row : rows) {
    std::string line;
    ASSERT_TRUE(worker.read_line(&line)) << row.request;
    EXPECT_EQ(line, row.answer) << row.request;
  }

  worker.close_input();
  int status = worker.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << status;
  std::string errors = worker.errors();
  for (const char *logged : {"mediasiftd-demon[", "Failed to open file!\n", "Invalid request!\n",
                             "Failed to read line from input!\n", "No input file!\n"})
    EXPECT_NE(errors.find(logged), std::string::npos) << logged;
}

// SIGTERM ends the worker with status 100 and its log line, whether it waits
// for a request or spins in the test hook, which never answers on its own.
TEST(WorkerProtocol, SigtermEndsWithStatus100WaitingOrInTheHook) {
  for (bool in_hook : {false, true}) {
    worker_process worker;
    std::string line;
    if (in_hook) {
      worker.send("1:" + hook + "\n2:/nonexistent\n");
      EXPECT_FALSE(worker.read_line(&line, 1500)); // neither request is answered
      EXPECT_EQ(worker.wait(10), -1);              // and the worker is still running
    } else {
      worker.send("1:/nonexistent\n");
      ASSERT_TRUE(worker.read_line(&line)); // the worker is up and waiting
    }
    ASSERT_EQ(kill(worker.pid, SIGTERM), 0);
    int status = worker.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 100) << in_hook << " " << status;
    EXPECT_NE(worker.errors().find("SIGTERM hit! exiting main loop.\n"), std::string::npos) << in_hook;
  }
}

// Every committed fixture goes through the confined worker and comes back as
// the record made in this process: a library call the confinement forbids
// would end the worker instead.
TEST(WorkerProtocol, ConfinedWorkerAnswersEveryFixture) {
  worker_process worker;
  int id = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(MS_TEST_DATA_DIR)) {
    if (!entry.is_regular_file())
      continue;
    std::string path = entry.path();
    worker.send(std::to_string(++id) + ":" + path + "\n");
    std::string line, prefix = std::to_string(id) + ":";
    ASSERT_TRUE(worker.read_line(&line)) << path << "\n" << worker.errors();
    ASSERT_EQ(line.substr(0, prefix.size()), prefix);
    EXPECT_EQ(canonical_json(line.substr(prefix.size())), record_text(path)) << path;
  }
  EXPECT_GT(id, 20);
  worker.close_input();
  int status = worker.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << worker.errors();
  EXPECT_EQ(worker.errors().find("forbidden system call"), std::string::npos) << worker.errors();
}

// Things that are not regular files (a pipe would block the open, a device
// feed a parser forever) are answered at once as unopenable, and the worker
// goes on with the next file; a link to a regular file is followed.
TEST(WorkerProtocol, FilesThatAreNotFilesAnswerAtOnce) {
  temp_dir dir;
  std::string fifo = dir.path + "/pipe.mp3", zero = dir.path + "/zero.m3u", sock = dir.path + "/socket.pls";
  std::string file = dir.write("a.xyz", "x"), link = dir.path + "/link.xyz";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

  worker_process worker;
  worker.send("1:" + fifo + "\n2:" + zero + "\n3:" + dir.path + "\n4:" + sock + "\n5:" + file + "\n6:" + link + "\n");
  for (int id = 1; id <= 6; ++id) {
    std::string line;
    ASSERT_TRUE(worker.read_line(&line, 3000)) << id;
    EXPECT_EQ(line, std::to_string(id) + ":" + (id < 5 ? failed : unknown_record));
  }
  const std::string errors = worker.errors(), refused = "Failed to open file!\n";
  size_t count = 0;
  for (size_t at = errors.find(refused); at != std::string::npos; at = errors.find(refused, at + 1))
    ++count;
  EXPECT_EQ(count, 4u) << errors;
  close(fd);
}

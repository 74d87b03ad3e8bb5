// The worker binary driven over its pipes, as the service drives it.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string failed = "{\"returnValue\":false}";
const std::string unknown_record = "{ \"returnValue\": true, \"type\": \"unknown\", \"subtype\": \"unknown\" }";

} // namespace

TEST(WorkerProtocol, AnswersEachRequestShapeInOrder) {
  temp_dir dir;
  std::string plain = dir.write("plain.xyz", "nothing to see");
  std::string colon = dir.write("with:colon.xyz", "x");
  std::string spaced = dir.write("spaced.xyz", "x");

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
      {"007:" + plain + "\n", "7:" + unknown_record},
      {"-3:" + plain + "\n", "-3:" + unknown_record},
      {"x:" + plain + "\n", "0:" + unknown_record},
      {"8:" + colon + "\n", "8:" + unknown_record},
      {"9:" + spaced + "  \t\r\n", "9:" + unknown_record},
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 11);
  std::string errors = worker.errors();
  EXPECT_NE(errors.find("mediasiftd-demon["), std::string::npos);
  EXPECT_NE(errors.find("Failed to open file!\n"), std::string::npos);
  EXPECT_NE(errors.find("Invalid request!\n"), std::string::npos);
  EXPECT_NE(errors.find("Failed to read line from input!\n"), std::string::npos);
  EXPECT_NE(errors.find("No input file!\n"), std::string::npos);
}

TEST(WorkerProtocol, SigtermEndsWithStatus100AndItsLogLine) {
  worker_process worker;
  std::string line;
  worker.send("1:/nonexistent\n");
  ASSERT_TRUE(worker.read_line(&line)); // the worker is up and waiting
  ASSERT_EQ(kill(worker.pid, SIGTERM), 0);
  int status = worker.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 100);
  EXPECT_NE(worker.errors().find("SIGTERM hit! exiting main loop.\n"), std::string::npos);
}

TEST(WorkerProtocol, TestHookSpinsUntilKilled) {
  worker_process worker;
  worker.send("1:::test::toxic::neverreturn::\n2:/nonexistent\n");
  std::string line;
  EXPECT_FALSE(worker.read_line(&line, 1500)); // neither request is answered
  EXPECT_EQ(worker.wait(10), -1);              // and the worker is still running
  ASSERT_EQ(kill(worker.pid, SIGKILL), 0);
  int status = worker.wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(WorkerProtocol, SigtermDuringTheHookStillExits100) {
  worker_process worker;
  worker.send("1:::test::toxic::neverreturn::\n");
  usleep(200000);
  ASSERT_EQ(kill(worker.pid, SIGTERM), 0);
  int status = worker.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 100);
}

TEST(WorkerProtocol, RecordOfARealFileIsOneLine) {
  temp_dir dir;
  // A path whose file content needs escaping in JSON keeps the answer on one line.
  std::string path = dir.write("quote\"back\\slash.xyz", "x");
  worker_process worker;
  worker.send("12:" + path + "\n");
  std::string line;
  ASSERT_TRUE(worker.read_line(&line));
  EXPECT_EQ(line, "12:" + unknown_record);
}

// Every committed fixture goes through the confined worker: a library call
// the confinement forbids would end the worker instead of answering.
TEST(WorkerProtocol, ConfinedWorkerAnswersEveryFixture) {
  std::vector<std::string> paths;
  std::vector<std::string> folders = {MS_TEST_DATA_DIR};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    GDir *dir = g_dir_open(folder.c_str(), 0, nullptr);
    ASSERT_NE(dir, nullptr) << folder;
    while (const char *name = g_dir_read_name(dir)) {
      std::string path = folder + "/" + name;
      if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR))
        folders.push_back(path);
      else if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR))
        paths.push_back(path);
    }
    g_dir_close(dir);
  }
  ASSERT_GT(paths.size(), 20u);

  worker_process worker;
  long long id = 0;
  for (const std::string &path : paths) {
    worker.send(std::to_string(++id) + ":" + path + "\n");
    std::string line;
    ASSERT_TRUE(worker.read_line(&line)) << path << "\n" << worker.errors();
    std::string prefix = std::to_string(id) + ":{ \"returnValue\": true";
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << path << ": " << line;
  }
  worker.close_input();
  int status = worker.wait();
  ASSERT_TRUE(WIFEXITED(status)) << worker.errors();
  EXPECT_EQ(WEXITSTATUS(status), 11);
  EXPECT_EQ(worker.errors().find("forbidden system call"), std::string::npos) << worker.errors();
}

// Things that are not regular files are answered at once as unopenable, and
// the worker goes on with the next file.
TEST(WorkerProtocol, FilesThatAreNotFilesAnswerAtOnce) {
  temp_dir dir;
  std::string fifo = dir.path + "/pipe.mp3";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string zero = dir.path + "/zero.m3u";
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  std::string sock = dir.path + "/socket.pls";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  std::string plain = dir.write("plain.xyz", "x");

  worker_process worker;
  worker.send("1:" + fifo + "\n2:" + zero + "\n3:" + dir.path + "\n4:" + sock + "\n5:" + plain + "\n");
  for (int id = 1; id <= 4; ++id) {
    std::string line;
    ASSERT_TRUE(worker.read_line(&line, 3000)) << id;
    EXPECT_EQ(line, std::to_string(id) + ":" + failed);
  }
  std::string line;
  ASSERT_TRUE(worker.read_line(&line));
  EXPECT_EQ(line, "5:" + unknown_record);
  close(fd);
}

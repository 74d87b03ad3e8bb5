// The worker binary driven over its pipes, as the service drives it.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

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

// The size and time a parsed file's answer carries before its record.
std::string opened(const std::string &path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return std::to_string(info.st_size) + ":" + std::to_string(info.st_mtime) + ":";
}

} // namespace

// Files opened or refused, answers written back to back in order, each
// flushed on its own; the line's own shapes are the request-line table's.
// Things that are not regular files (a pipe would block the open, a device
// feed a parser forever) and the kernel's pseudo-files (views of the
// worker's own memory and environment, or of the kernel) are answered at
// once, before a byte is read; a link to a regular file is followed.
TEST(WorkerProtocol, AnswersEachRequestInOrder) {
  temp_dir dir;
  std::string plain = dir.write("plain.xyz", "nothing to see");
  std::string colon = dir.write("with:colon.xyz", "x");
  std::string quoted = dir.write("quote\"back\\slash.xyz", "x");
  // Unreadable even to a worker started as root: it drops its capabilities.
  std::string locked = dir.write("locked.mp3", "ID3");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::string fifo = dir.path + "/pipe.mp3", zero = dir.path + "/zero.m3u", sock = dir.path + "/socket.pls";
  std::string link = dir.path + "/link.xyz", environ = dir.path + "/x.m3u";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/environ", environ.c_str()), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

  const std::string not_regular = refused_record("notRegularFile");
  std::vector<std::pair<std::string, std::string>> rows = {
      {"5:" + plain, "5:" + opened(plain) + unknown_record},
      {"6:/nonexistent/file.mp3", "6:" + refused_record("notFound")},
      {"6:" + plain + "/below", "6:" + refused_record("notFound")}, // through a file, not a folder
      {"6:" + locked, "6:" + refused_record("permissionDenied")},
      {"no colon here", failed},
      {"7:   \r", "7:" + refused_record("emptyPath")}, // nothing left once trailing space is stripped
      {"8:" + colon, "8:" + opened(colon) + unknown_record},
      {"9:" + quoted + "  \t\r", "9:" + opened(quoted) + unknown_record},
      {"10:" + link, "10:" + opened(plain) + unknown_record}, // the size and time of the file linked to
  };
  for (const std::string &refused : {fifo, zero, dir.path, sock, std::string("/proc/self/maps"), environ,
                                     std::string("/proc/self/status")})
    rows.emplace_back("11:" + refused, "11:" + not_regular);
  // A regular-looking file of sysfs and of the cgroup file system, where mounted.
  for (const char *pseudo : {"/sys/kernel/uevent_seqnum", "/sys/kernel/mm/transparent_hugepage/enabled",
                             "/sys/fs/cgroup/cgroup.controllers", "/sys/fs/cgroup/pids/tasks"}) {
    struct stat st;
    if (stat(pseudo, &st) == 0 && S_ISREG(st.st_mode))
      rows.emplace_back("12:" + std::string(pseudo), "12:" + not_regular);
  }

  worker_process worker;
  std::string all;
  for (const auto &row : rows)
    all += row.first + "\n";
  worker.send(all);
  size_t refusals = 0;
  for (const auto &[request, answer] : rows) {
    std::string line;
    ASSERT_TRUE(worker.read_line(&line, 3000)) << request;
    EXPECT_EQ(line, answer) << request;
    refusals += answer.find("returnValue\":false") != std::string::npos && answer != failed;
  }
  close(fd);

  worker.close_input();
  int status = worker.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << status;
  std::string errors = worker.errors();
  for (const char *logged : {"mediasiftd-demon[", "Invalid request!\n", "Failed to read line from input!\n",
                             "No input file!\n"})
    EXPECT_NE(errors.find(logged), std::string::npos) << logged;
  size_t count = 0;
  for (size_t at = errors.find("Failed to open file!\n"); at != std::string::npos;
       at = errors.find("Failed to open file!\n", at + 1))
    ++count;
  EXPECT_EQ(count, refusals - 1) << errors; // the empty path is not opened
}

// SIGTERM ends the worker with status 100 and its log line, whether it waits
// for a request or spins in the test hook, which never answers on its own.
TEST(WorkerProtocol, SigtermEndsWithStatus100WaitingOrInTheHook) {
  for (bool in_hook : {false, true}) {
    if (in_hook && !test_hook_built)
      continue;
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
    std::string line, prefix = std::to_string(id) + ":" + opened(path);
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

// A build with the default options carries no trace of the test hook: its
// worker answers the hook's path as a missing file, and the hook's text is
// nowhere in the executable. A test build's executable does hold it, which
// shows the search would find it.
TEST(WorkerProtocol, DefaultOptionsBuildHoldsNoTestHook) {
  std::string path = DEFAULT_OPTIONS_BINARY;
  EXPECT_EQ(read_file(path).find("neverreturn"), std::string::npos) << path;
  if (test_hook_built) {
    EXPECT_NE(read_file(MS_BINARY).find("neverreturn"), std::string::npos);
  }

  worker_process worker(path.c_str());
  worker.send("1:" + hook + "\n2:" + hook + " \n");
  for (const char *id : {"1:", "2:"}) {
    std::string line;
    ASSERT_TRUE(worker.read_line(&line)) << worker.errors();
    EXPECT_EQ(line, id + refused_record("notFound"));
  }
}

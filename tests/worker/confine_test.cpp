// Each case confines a forked child, then has it try one thing; the child's
// end tells whether the confinement let it through.
#include "support/test_support.h"
#include "broker/broker.h"
#include "broker/broker_testing.h"
#include "worker/confine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string scratch; // a folder the refused attempts aim at

// Runs `attempt` in a confined child and returns its wait status; what the
// child wrote to standard error goes to `*errors`. The child exits 0 when the
// attempt succeeded and 3 when it was refused with EACCES or EPERM (Landlock's
// answer).
int confined(bool (*attempt)(), std::string *errors = nullptr) {
  int err_fd = memfd_create("confined-stderr", MFD_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err_fd, STDERR_FILENO);
    confine_worker(-1);
    _exit(attempt() ? 0 : (errno == EACCES || errno == EPERM) ? 3 : 4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (errors != nullptr)
    *errors = read_file("/proc/self/fd/" + std::to_string(err_fd));
  close(err_fd);
  return status;
}

bool killed_by_filter(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS; }

} // namespace

TEST(Confinement, ReadingStillWorks) {
  int status = confined([] {
    char buf[64];
    int fd = open("/proc/self/status", O_RDONLY);
    FILE *file = fopen("/etc/hostname", "rb");
    struct stat st;
    return fd >= 0 && read(fd, buf, sizeof buf) > 0 && file != nullptr && fgetc(file) != -2 && stat("/", &st) == 0 &&
           fprintf(stderr, "still able to write to standard error\n") > 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Confinement, WritingCreatingExecutingAndSocketsEndTheChild) {
  temp_dir dir;
  scratch = dir.path;
  std::string existing = dir.write("existing", "");
  const struct {
    const char *name;
    bool (*attempt)();
  } rows[] = {
      {"write-mode open", [] { return open((scratch + "/existing").c_str(), O_WRONLY) >= 0; }},
      {"read-write open", [] { return open((scratch + "/existing").c_str(), O_RDWR) >= 0; }},
      {"file creation", [] { return open((scratch + "/new").c_str(), O_CREAT | O_RDONLY, 0600) >= 0; }},
      {"folder creation", [] { return mkdir((scratch + "/sub").c_str(), 0700) == 0; }},
      {"unlink", [] { return unlink((scratch + "/existing").c_str()) == 0; }},
      {"socket", [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }},
      {"exec", [] { return execl("/bin/true", "true", static_cast<char *>(nullptr)) == 0; }},
      {"fork", [] { return fork() >= 0; }},
  };
  for (const auto &row : rows) {
    int status = confined(row.attempt);
    EXPECT_TRUE(killed_by_filter(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 3))
        << row.name << ": wait status " << status;
  }
  struct stat st;
  EXPECT_NE(stat((dir.path + "/new").c_str(), &st), 0);
  EXPECT_EQ(stat(existing.c_str(), &st), 0);
}

TEST(Confinement, ForbiddenCallIsNamedInTheLog) {
  std::string errors;
  int status = confined([] { return socket(AF_INET, SOCK_DGRAM, 0) >= 0; }, &errors);
  EXPECT_TRUE(killed_by_filter(status)) << status;
  EXPECT_NE(errors.find("Worker made a forbidden system call " + std::to_string(SYS_socket) + "!\n"), std::string::npos)
      << errors;
}

TEST(Confinement, MemoryCeilingStopsARunawayAllocation) {
  if (sanitizer_build)
    GTEST_SKIP() << "sanitizer builds have no memory ceiling; the plain build runs this";
  int status = confined([] {
    // Twice the ceiling cannot be had, in one piece or bit by bit.
    void *whole = malloc(2 * worker_memory_ceiling);
    size_t got = 0;
    for (void *piece; got < 2 * worker_memory_ceiling && (piece = malloc(worker_memory_ceiling / 16));) {
      memset(piece, 1, worker_memory_ceiling / 16);
      got += worker_memory_ceiling / 16;
    }
    return whole == nullptr && got < worker_memory_ceiling;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A worker whose parser allocates without end hits the ceiling and dies, not
// the machine; the broker retries the file once and then reports it toxic,
// and the next files are answered by a fresh worker, one of them after a
// GLib warning, which must not trip the confinement.
TEST(Confinement, ParserAllocatingWithoutEndIsReportedToxic) {
  if (sanitizer_build)
    GTEST_SKIP() << "sanitizer builds have no memory ceiling; the plain build runs this";
  static std::vector<std::pair<std::string, std::string>> collected;
  static bool delimited;
  metadata_set_worker_path_for_testing(HUNGRY_WORKER);
  metadata_register_collect([](void *, const char *path, const char *json) { collected.emplace_back(path, json); });
  metadata_register_delimit_reached([](void *) { delimited = true; });
  int pid = 0;
  ASSERT_TRUE(metadata_new(&pid));
  ASSERT_TRUE(metadata_request("/nowhere/a.hungry"));
  ASSERT_TRUE(metadata_request("/nowhere/b.warns"));
  metadata_delimit();
  run_until([] { return delimited; }, 60000);
  metadata_free();
  metadata_set_worker_path_for_testing(nullptr);
  ASSERT_TRUE(delimited);
  ASSERT_EQ(collected.size(), 2u);
  EXPECT_EQ(collected[0], std::make_pair(std::string("/nowhere/a.hungry"),
                                         std::string("{\"returnValue\":false,\"toxic\":true}")));
  EXPECT_EQ(collected[1].first, "/nowhere/b.warns");
  EXPECT_NE(collected[1].second.find("\"returnValue\": true"), std::string::npos) << collected[1].second;
}

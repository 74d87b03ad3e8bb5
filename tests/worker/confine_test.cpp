// Each case confines a forked child, then has it try one thing; the child's
// end tells whether the confinement let it through.
#include "worker/confine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Runs `attempt` in a confined child. Returns the wait status; the child
// exits 0 when the attempt succeeded and 3 when it was refused with EACCES
// or EPERM (Landlock's answer).
template <typename Fn> int confined(Fn attempt) {
  pid_t pid = fork();
  if (pid == 0) {
    confine_worker(-1);
    _exit(attempt());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

int refused_or_ok(bool ok) { return ok ? 0 : ((errno == EACCES || errno == EPERM) ? 3 : 4); }

bool killed_by_filter(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS; }

} // namespace

TEST(Confinement, ReadingStillWorks) {
  int status = confined([] {
    int fd = open("/proc/self/status", O_RDONLY);
    char buf[64];
    bool ok = fd >= 0 && read(fd, buf, sizeof buf) > 0;
    FILE *file = fopen("/etc/hostname", "rb");
    ok = ok && file != nullptr && fgetc(file) != -2;
    struct stat st;
    ok = ok && stat("/", &st) == 0;
    fprintf(stderr, "still able to write to standard error\n");
    return ok ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Confinement, WritingCreatingExecutingAndSocketsEndTheChild) {
  char dir_template[] = "/tmp/mediasift-confine-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string dir = dir_template;
  std::string existing = dir + "/existing";
  close(open(existing.c_str(), O_CREAT | O_WRONLY, 0600));

  const struct {
    const char *name;
    int (*attempt)(const std::string &dir);
  } rows[] = {
      {"write-mode open", [](const std::string &d) { return refused_or_ok(open((d + "/existing").c_str(), O_WRONLY) >= 0); }},
      {"read-write open", [](const std::string &d) { return refused_or_ok(open((d + "/existing").c_str(), O_RDWR) >= 0); }},
      {"file creation", [](const std::string &d) { return refused_or_ok(open((d + "/new").c_str(), O_CREAT | O_RDONLY, 0600) >= 0); }},
      {"folder creation", [](const std::string &d) { return refused_or_ok(mkdir((d + "/sub").c_str(), 0700) == 0); }},
      {"unlink", [](const std::string &d) { return refused_or_ok(unlink((d + "/existing").c_str()) == 0); }},
      {"socket", [](const std::string &) { return refused_or_ok(socket(AF_INET, SOCK_STREAM, 0) >= 0); }},
      {"exec", [](const std::string &) {
         execl("/bin/true", "true", static_cast<char *>(nullptr));
         return refused_or_ok(false);
       }},
      {"fork", [](const std::string &) { return refused_or_ok(fork() >= 0); }},
  };
  for (const auto &row : rows) {
    std::string d = dir;
    auto attempt = row.attempt;
    int status = confined([&] { return attempt(d); });
    bool refused = killed_by_filter(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_TRUE(refused) << row.name << ": wait status " << status;
  }
  struct stat st;
  EXPECT_NE(stat((dir + "/new").c_str(), &st), 0);
  EXPECT_EQ(stat(existing.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  std::string cleanup = "rm -rf '" + dir + "'";
  ASSERT_EQ(system(cleanup.c_str()), 0);
}

TEST(Confinement, MemoryCeilingStopsARunawayAllocation) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer builds reserve huge address ranges; the plain build runs this";
#else
  int status = confined([] {
    // Twice the ceiling cannot be had, in one piece or bit by bit.
    void *whole = malloc(2 * worker_memory_ceiling);
    size_t got = 0;
    for (int i = 0; i < 64; ++i) {
      void *piece = malloc(worker_memory_ceiling / 16);
      if (piece == nullptr)
        break;
      memset(piece, 1, worker_memory_ceiling / 16);
      got += worker_memory_ceiling / 16;
    }
    return whole == nullptr && got < worker_memory_ceiling ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(Confinement, ForbiddenCallIsNamedInTheLog) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    confine_worker(-1);
    socket(AF_INET, SOCK_DGRAM, 0);
    _exit(0);
  }
  close(err[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  char buf[512] = {};
  ssize_t n = read(err[0], buf, sizeof buf - 1);
  close(err[0]);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(killed_by_filter(status)) << status;
  std::string expected = "Worker made a forbidden system call " + std::to_string(SYS_socket) + "!\n";
  EXPECT_NE(std::string(buf).find(expected), std::string::npos) << buf;
}

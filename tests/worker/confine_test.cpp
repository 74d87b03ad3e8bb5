// Each case confines a forked child, then has it try one thing; the child's
// end tells whether the confinement let it through.
#include "support/test_support.h"
#include "worker/confine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string scratch; // a folder the refused attempts aim at
int log_socket = -1;  // the confined child's log socket, connected

// Runs `attempt` in a confined child and returns its wait status; what the
// child wrote to standard error goes to `*errors`. The child exits 0 when the
// attempt succeeded and 3 when it was refused with EACCES or EPERM (Landlock's
// answer).
int confined(bool (*attempt)(), std::string *errors = nullptr) {
  int err_fd = memfd_create("confined-stderr", MFD_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err_fd, STDERR_FILENO);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
      _exit(5);
    log_socket = pair[0];
    confine_worker(log_socket);
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

// The value of a "Cap...:" line of the process's status, -1 when missing.
long long capability_set(const std::string &status, const std::string &name) {
  size_t at = status.find("\n" + name + ":\t");
  return at == std::string::npos ? -1 : std::stoll(status.substr(at + name.size() + 3, 16), nullptr, 16);
}

bool had_capabilities; // whether this process runs with capabilities

} // namespace

// What the worker needs works; writing, creating, executing and sockets end
// the child or are refused. Calls the worker needs in some forms only (its
// descriptors' flags but not signal-driven I/O, sends on its connected log
// socket but never to an address, signals to itself only) allow just those
// forms: every form, on every architecture, is the filter table's; these rows
// show the kernel runs the installed filter the same way. Started with
// capabilities (a service running as root), the worker keeps none, in any
// set, the bounding set included; and it writes no core image.
TEST(Confinement, AllowsWhatTheWorkerNeedsAndNothingElse) {
  temp_dir dir;
  scratch = dir.path;
  std::string existing = dir.write("existing", "");
  had_capabilities = capability_set(read_file("/proc/self/status"), "CapEff") > 0;
  enum outcome { allowed, refused, killed }; // refused: killed or EACCES/EPERM
  const struct {
    const char *name;
    outcome expected;
    bool (*attempt)();
  } rows[] = {
      {"reading", allowed,
       [] {
         char buf[64];
         int fd = open("/proc/self/status", O_RDONLY);
         FILE *file = fopen("/etc/hostname", "rb");
         struct stat st;
         return fd >= 0 && read(fd, buf, sizeof buf) > 0 && file != nullptr && fgetc(file) != -2 &&
                stat("/", &st) == 0 && fprintf(stderr, "still able to write to standard error\n") > 0;
       }},
      {"write-mode open", refused, [] { return open((scratch + "/existing").c_str(), O_WRONLY) >= 0; }},
      {"read-write open", refused, [] { return open((scratch + "/existing").c_str(), O_RDWR) >= 0; }},
      {"file creation", refused, [] { return open((scratch + "/new").c_str(), O_CREAT | O_RDONLY, 0600) >= 0; }},
      {"folder creation", refused, [] { return mkdir((scratch + "/sub").c_str(), 0700) == 0; }},
      {"unlink", refused, [] { return unlink((scratch + "/existing").c_str()) == 0; }},
      {"socket", refused, [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }},
      {"exec", refused, [] { return execl("/bin/true", "true", static_cast<char *>(nullptr)) == 0; }},
      {"fork", refused, [] { return fork() >= 0; }},
      {"fcntl F_SETFL", allowed, [] { return fcntl(0, F_SETFL, O_NONBLOCK) == 0; }},
      {"fcntl F_SETFL O_ASYNC", killed, [] { return fcntl(0, F_SETFL, O_ASYNC) == 0; }},
      {"send to the log", allowed, [] { return send(log_socket, "x", 1, MSG_DONTWAIT) == 1; }},
      {"sendto an address", killed,
       [] {
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         strcpy(addr.sun_path, "/dev/log");
         return sendto(log_socket, "x", 1, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 1;
       }},
      {"signal to itself", allowed, [] { return syscall(SYS_tgkill, getpid(), gettid(), 0) == 0; }},
      {"signal to its parent", killed, [] { return syscall(SYS_tgkill, getppid(), getppid(), 0) == 0; }},
      {"no capability, no core image", allowed,
       [] {
         std::string caps = read_file("/proc/self/status");
         for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
           if (capability_set(caps, set) != 0 && (had_capabilities || strcmp(set, "CapBnd") != 0)) {
             fprintf(stderr, "%s left: %s\n", set, caps.c_str());
             return false;
           }
         std::string limits = read_file("/proc/self/limits");
         size_t core = limits.find("Max core file size");
         char soft[32] = "", hard[32] = "";
         return core != std::string::npos && sscanf(limits.c_str() + core + 18, "%31s %31s", soft, hard) == 2 &&
                strcmp(soft, "0") == 0 && strcmp(hard, "0") == 0;
       }},
  };
  for (const auto &row : rows) {
    int status = confined(row.attempt);
    EXPECT_TRUE(row.expected == allowed  ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                : row.expected == killed ? killed_by_filter(status)
                                         : killed_by_filter(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 3))
        << row.name << ": wait status " << status;
  }
  struct stat st;
  EXPECT_NE(stat((dir.path + "/new").c_str(), &st), 0);
  EXPECT_EQ(stat(existing.c_str(), &st), 0);
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

// A worker whose parser faults, makes a forbidden call or allocates without
// end (under the memory ceiling, which only plain builds have) ends at once,
// by a signal, so the broker can retry the file; it never hangs until the
// time-out. A library's GLib warning does not trip the confinement: that
// worker answers and goes on.
TEST(Confinement, CrashingOrHijackedParserEndsTheWorker) {
  const struct {
    const char *path;
    int signal; // 0: answered, the worker goes on
    std::string logged;
  } rows[] = {
      {"1:/nowhere/a.crashes\n", SIGSEGV, ""},
      {"1:/nowhere/a.forbidden\n", SIGSYS, "Worker made a forbidden system call " + std::to_string(SYS_socket) + "!\n"},
      {"1:/nowhere/a.hungry\n", SIGTRAP, ""},
      {"1:/nowhere/a.warns\n", 0, "a library complains about /nowhere/a.warns"},
  };
  for (const auto &row : rows) {
    if (sanitizer_build && std::string(row.path).find("hungry") != std::string::npos)
      continue; // sanitizer builds have no memory ceiling
    worker_process worker(HUNGRY_WORKER);
    worker.send(row.path);
    std::string line;
    if (row.signal == 0) {
      ASSERT_TRUE(worker.read_line(&line)) << worker.errors();
      EXPECT_NE(line.find("\"returnValue\": true"), std::string::npos) << line;
      worker.close_input();
    }
    int status = worker.wait(60000);
    if (row.signal == 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << row.path << status << worker.errors();
    } else if (sanitizer_build && row.signal == SIGSEGV) {
      // The sanitizer reports the fault and ends the process itself.
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << row.path << status << worker.errors();
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.signal) << row.path << status << worker.errors();
    }
    EXPECT_NE(worker.errors().find(row.logged), std::string::npos) << worker.errors();
  }
}

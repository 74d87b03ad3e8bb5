#include "local_measures.h"

#include "process_stats.h"

#include <glib.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The least a metadata reader can read of a file: its head.
constexpr size_t floor_read_bytes = 64 * 1024;
// A worker that says nothing for this long is taken as stuck.
constexpr int answer_timeout_ms = 60000;

bool write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One line (without its line feed) from `fd`, keeping what follows it in
// `pending`.
bool read_line(int fd, std::string *pending, std::string *line) {
  for (;;) {
    size_t end = pending->find('\n');
    if (end != std::string::npos) {
      line->assign(*pending, 0, end);
      pending->erase(0, end + 1);
      return true;
    }
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, answer_timeout_ms) <= 0)
      return false;
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    pending->append(chunk, static_cast<size_t>(n));
  }
}

} // namespace

double measure_floor(const std::vector<std::string> &paths) {
  static char buffer[floor_read_bytes];
  double start = now_seconds();
  for (const std::string &path : paths) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return -1;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && read(fd, buffer, sizeof buffer) >= 0;
    close(fd);
    if (!ok)
      return -1;
  }
  return now_seconds() - start;
}

bool measure_worker(const std::string &binary, const std::vector<std::string> &paths, worker_run *out,
                    std::string *error) {
  char *argv[] = {const_cast<char *>(binary.c_str()), const_cast<char *>("-demon"), nullptr};
  GPid pid = 0;
  int in_fd = -1;
  int out_fd = -1;
  GError *failure = nullptr;
  // Its log lines (unreadable files and the like) would only drown the table.
  if (!g_spawn_async_with_pipes(nullptr, argv, nullptr,
                                static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                nullptr, nullptr, &pid, &in_fd, &out_fd, nullptr, &failure)) {
    *error = failure->message;
    g_error_free(failure);
    return false;
  }

  bool ok = true;
  std::string pending;
  std::string line;
  out->latencies_us.clear();
  out->latencies_us.reserve(paths.size());
  double start = now_seconds();
  for (size_t i = 0; i < paths.size() && ok; ++i) {
    std::string id = std::to_string(i + 1);
    double sent = now_seconds();
    if (!write_all(in_fd, id + ":" + paths[i] + "\n") || !read_line(out_fd, &pending, &line)) {
      *error = "the worker stopped answering at " + paths[i];
      ok = false;
      break;
    }
    out->latencies_us.push_back((now_seconds() - sent) * 1e6);
    if (line.compare(0, id.size() + 1, id + ":") == 0) {
      ++out->answered;
      if (line.find("\"returnValue\": true") == std::string::npos &&
          line.find("\"returnValue\":true") == std::string::npos)
        ++out->failed;
    }
    if (i + 1 == 100)
      out->rss_after_100_kib = status_kib(pid, "VmRSS");
  }
  out->seconds = now_seconds() - start;
  out->rss_after_all_kib = status_kib(pid, "VmRSS");
  out->cpu_us = cpu_microseconds(pid);

  close(in_fd); // the worker ends on end of input
  close(out_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  g_spawn_close_pid(pid);
  return ok;
}

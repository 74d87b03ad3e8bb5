#include "local_measures.h"

#include "process_stats.h"

#include "testing/harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

// The least a metadata reader can read of a file: its head.
constexpr size_t floor_read_bytes = 64 * 1024;
// A worker that says nothing for this long is taken as stuck.
constexpr int answer_timeout_ms = 60000;

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
  worker_pipe worker;
  // Its log lines (unreadable files and the like) would only drown the table.
  if (!worker_pipe_start(&worker, binary, -1, error))
    return false;
  pid_t pid = worker.pid;

  bool ok = true;
  std::string line;
  out->latencies_us.clear();
  out->latencies_us.reserve(paths.size());
  double start = now_seconds();
  for (size_t i = 0; i < paths.size() && ok; ++i) {
    std::string id = std::to_string(i + 1);
    double sent = now_seconds();
    if (!worker_pipe_send(worker, id + ":" + paths[i] + "\n") ||
        !worker_pipe_read_line(&worker, &line, answer_timeout_ms)) {
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

  worker_pipe_close_input(&worker); // the worker ends on end of input
  worker_pipe_wait(&worker, answer_timeout_ms);
  worker_pipe_end(&worker);
  return ok;
}

bool measure_worker_fed(const std::string &binary, const std::vector<std::string> &paths, worker_run *out,
                        std::string *error) {
  worker_pipe worker;
  if (!worker_pipe_start(&worker, binary, -1, error))
    return false;
  std::string requests;
  for (size_t i = 0; i < paths.size(); ++i)
    requests += std::to_string(i + 1) + ":" + paths[i] + "\n";
  double start = now_seconds();
  // A write into a full pipe waits for the worker; the answers must be read
  // meanwhile, or both sides would wait on each other.
  std::thread writer([&] { worker_pipe_send(worker, requests); });
  std::string line;
  out->answered = 0;
  while (out->answered < paths.size() && worker_pipe_read_line(&worker, &line, answer_timeout_ms))
    ++out->answered;
  out->seconds = now_seconds() - start;
  out->cpu_us = cpu_microseconds(worker.pid);
  writer.join();
  worker_pipe_close_input(&worker);
  worker_pipe_wait(&worker, answer_timeout_ms);
  worker_pipe_end(&worker);
  if (out->answered != paths.size())
    *error = "the worker stopped answering after " + std::to_string(out->answered) + " answers";
  return out->answered == paths.size();
}

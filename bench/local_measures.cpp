#include "local_measures.h"

#include "process_stats.h"

#include "testing/harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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
  // Every request waits in the worker's input from the start and its
  // answers go to a file, so the worker never waits on a pipe or on this
  // process; the corpus is sent several times over to make its start-up
  // small beside the parsing.
  constexpr int rounds = 5;
  int in = memfd_create("requests", MFD_CLOEXEC);
  int answers = memfd_create("answers", MFD_CLOEXEC);
  std::string requests;
  for (int round = 0; round < rounds; ++round)
    for (size_t i = 0; i < paths.size(); ++i)
      requests += std::to_string(i + 1) + ":" + paths[i] + "\n";
  bool ok = in >= 0 && answers >= 0 &&
            pwrite(in, requests.data(), requests.size(), 0) == static_cast<ssize_t>(requests.size());
  double start = now_seconds();
  pid_t pid = ok ? fork() : -1;
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(answers, 1);
    dup2(quiet, 2);
    execl(binary.c_str(), binary.c_str(), "-demon", static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  ok = pid > 0 && wait4(pid, &status, 0, &usage) == pid;
  out->seconds = (now_seconds() - start) / rounds;
  out->cpu_us = (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec)) / rounds;
  // The worker ends on the end of its input; count its answer lines.
  std::string text(ok ? static_cast<size_t>(lseek(answers, 0, SEEK_END)) : 0, '\0');
  ok = ok && pread(answers, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
  out->answered = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) / rounds;
  for (int fd : {in, answers})
    if (fd >= 0)
      close(fd);
  if (!ok || out->answered != paths.size())
    *error = "the worker fed every request answered " + std::to_string(out->answered) + " of " +
             std::to_string(paths.size());
  return ok && out->answered == paths.size();
}

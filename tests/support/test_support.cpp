#include "support/test_support.h"

#include "extract/dispatch.h"
#include "extract/log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

temp_dir::temp_dir() {
  char pattern[] = "/tmp/mediasift-test-XXXXXX";
  const char *made = mkdtemp(pattern);
  if (made == nullptr)
    abort();
  path = made;
}

temp_dir::~temp_dir() {
  std::string command = "rm -rf '" + path + "'";
  int ignored = system(command.c_str());
  (void)ignored;
}

std::string temp_dir::write(const std::string &name, const std::string &bytes) const {
  std::string full = path + "/" + name;
  std::ofstream out(full, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return full;
}

FILE *stream_from_bytes(const std::string &bytes) {
  int fd = memfd_create("mediasift-test", MFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      close(fd);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  FILE *file = fdopen(fd, "rb");
  if (file == nullptr)
    close(fd);
  return file;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string data_path(const std::string &relative) { return std::string(MS_TEST_DATA_DIR) + "/" + relative; }

json_ptr record_of(const std::string &path) {
  json_ptr root(json_object_new_object());
  if (!parse_file(path.c_str(), root.get()))
    return nullptr;
  return root;
}

std::string record_text(const std::string &path) {
  json_ptr root = record_of(path);
  if (!root)
    return "";
  return json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN);
}

json_ptr parse_json(const std::string &text) { return json_ptr(json_tokener_parse(text.c_str())); }

namespace {
log_capture *active_capture;
void capture_sink(const char *message) {
  if (active_capture != nullptr)
    active_capture->lines.emplace_back(message);
}
} // namespace

log_capture::log_capture() {
  active_capture = this;
  log_set_sink(capture_sink);
}

log_capture::~log_capture() {
  log_set_sink(nullptr);
  active_capture = nullptr;
}

int log_capture::count(const std::string &message) const {
  int n = 0;
  for (const std::string &line : lines)
    n += line == message;
  return n;
}

worker_process::worker_process() {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    abort();
  pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execl(MS_BINARY, MS_BINARY, "-demon", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  in_fd = in_pipe[1];
  out_fd = out_pipe[0];
  err_fd = err_pipe[0];
  fcntl(err_fd, F_SETFL, fcntl(err_fd, F_GETFL) | O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
}

worker_process::~worker_process() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0)
      close(fd);
}

void worker_process::send(const std::string &bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(in_fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}

bool worker_process::read_line(std::string *line, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t end = out_buffer.find('\n');
    if (end != std::string::npos) {
      *line = out_buffer.substr(0, end);
      out_buffer.erase(0, end + 1);
      return true;
    }
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0)
      return false;
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0)
      return false;
    char buf[65536];
    ssize_t n = ::read(out_fd, buf, sizeof buf);
    if (n <= 0)
      return false;
    out_buffer.append(buf, static_cast<size_t>(n));
  }
}

void worker_process::close_input() {
  if (in_fd >= 0)
    close(in_fd);
  in_fd = -1;
}

int worker_process::wait(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      pid = -1;
      return status;
    }
    usleep(10000);
  }
  return -1;
}

std::string worker_process::errors() {
  char buf[4096];
  ssize_t n;
  while ((n = ::read(err_fd, buf, sizeof buf)) > 0)
    err_buffer.append(buf, static_cast<size_t>(n));
  return err_buffer;
}

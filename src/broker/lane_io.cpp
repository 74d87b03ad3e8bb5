#include "broker/lane_io.h"
#include "broker/worker_exe.h"

#include "base/log.h"

#include <glib-unix.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Bytes read from a worker's output per event at most, so that a worker
// writing without pause can't hold up the main loop.
constexpr size_t read_chunk = 65536;
constexpr int max_chunks_per_event = 16;

// The executable started as the worker. Kept in one place: what the service
// runs as its worker is decided here and nowhere else.
worker_exe worker_executable(const lane_hooks &hooks) {
  return hooks.worker_path != nullptr ? worker_exe{hooks.worker_path, hooks.worker_path} : worker_exe_for_service();
}

bool set_non_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    log_error("Failed to get file flags!\n");
    return false;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    log_error("Failed to set file flags!\n");
    return false;
  }
  return true;
}

// Writes the decimal digits of `value` to `out` and returns their count;
// async-signal-safe, unlike the printf family.
size_t format_decimal(unsigned long value, char *out) {
  char reversed[24];
  size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; i++)
    out[i] = reversed[n - 1 - i];
  return n;
}

// Runs in the new process between fork and exec, where only async-signal-safe
// calls are allowed: hence the hand-formatted message.
void child_setup(gpointer) {
  umask(0444);
  if (setsid() < 0) {
    int error = errno;
    static const char prefix[] = "Failed to setup child session group! ";
    char message[sizeof prefix + 24];
    memcpy(message, prefix, sizeof prefix - 1);
    size_t len = sizeof prefix - 1;
    len += format_decimal(static_cast<unsigned long>(error), message + len);
    message[len++] = '\n';
    message[len] = '\0';
    log_error_signal_safe(message);
  }
}

void remove_source(guint *id) {
  if (*id != 0)
    g_source_remove(*id);
  *id = 0;
}

void close_fd(int *fd) {
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

// Releases the worker's pipes, watches, pidfd and kill grace. The watches go
// first: they would go on polling closed descriptors.
void cleanup_pipes(lane_io &io) {
  remove_source(&io.grace);
  remove_source(&io.read_watch);
  remove_source(&io.write_watch);
  close_fd(&io.in_fd);
  close_fd(&io.out_fd);
  close_fd(&io.pidfd);
  io.pid = 0; // once its pipes are gone the worker is never signalled again
  io.out.clear();
  io.out_done = 0;
  io.in.clear();
}

// SIGKILL to the current worker; false when it can't be sent (the worker is
// already gone, for one).
bool kill_worker(const lane_io &io) {
  if (io.pidfd >= 0)
    return syscall(SYS_pidfd_send_signal, io.pidfd, SIGKILL, nullptr, 0) == 0;
  return io.pid > 0 && kill(io.pid, SIGKILL) == 0;
}

template <typename Event> void feed(lane_io &io, Event event) {
  lane_actions actions;
  event(io.state, actions);
  lane_io_perform(io, actions);
}

gboolean on_output(gint fd, GIOCondition condition, gpointer data);
gboolean on_writable(gint fd, GIOCondition condition, gpointer data);

// Writes what the pipe takes now; the rest waits for the writable watch, so
// a write never blocks the main loop whatever the pipe holds. A write to a
// worker that has died fails with EPIPE, as the service ignores SIGPIPE.
void write_out(lane_io &io) {
  while (io.out_done < io.out.size()) {
    if (io.in_fd < 0)
      break;
    ssize_t n = write(io.in_fd, io.out.data() + io.out_done, io.out.size() - io.out_done);
    if (n > 0) {
      io.out_done += static_cast<size_t>(n);
      lane_actions none;
      lane_written(io.state, static_cast<size_t>(n), none);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN) {
      if (io.write_watch == 0)
        io.write_watch = g_unix_fd_add(io.in_fd, static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP),
                                       on_writable, &io);
      return;
    }
    break;
  }
  bool failed = io.out_done < io.out.size();
  io.out.clear();
  io.out_done = 0;
  remove_source(&io.write_watch);
  if (failed)
    feed(io, lane_write_failed);
}

gboolean on_writable(gint, GIOCondition, gpointer data) {
  auto &io = *static_cast<lane_io *>(data);
  io.write_watch = 0; // write_out adds it again if the pipe is still full
  write_out(io);
  return G_SOURCE_REMOVE;
}

// The time-out is re-armed on every answer: moving a deadline costs less
// than replacing a timer, so the timer stays and, when it fires before the
// deadline, waits again for the rest.
gboolean on_timer(gpointer data) {
  auto &io = *static_cast<lane_io *>(data);
  io.timer = 0;
  gint64 left_ms = (io.deadline - g_get_monotonic_time()) / 1000;
  if (left_ms > 0) {
    io.timer = g_timeout_add(static_cast<guint>(left_ms) + 1, on_timer, &io);
    return G_SOURCE_REMOVE;
  }
  feed(io, lane_timed_out);
  return G_SOURCE_REMOVE;
}

gboolean on_kill_grace(gpointer data) {
  auto &io = *static_cast<lane_io *>(data);
  io.grace = 0;
  feed(io, lane_kill_expired);
  return G_SOURCE_REMOVE;
}

bool spawn_worker(lane_io &io) {
  cleanup_pipes(io);
  worker_exe exe = worker_executable(*io.hooks);
  char *argv[] = {exe.file.data(), exe.name.data(), const_cast<char *>("-demon"), nullptr};
  GError *error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_FILE_AND_ARGV_ZERO, child_setup, nullptr, &io.pid,
                                &io.in_fd, &io.out_fd, nullptr, &error)) {
    log_error("Failed to allocate and spawn child! %s: %s\n", exe.file.c_str(), error->message);
    g_clear_error(&error);
    io.in_fd = -1;
    io.out_fd = -1;
    return false;
  }
  // Neither a partial answer nor a full input pipe may block the main loop.
  set_non_blocking(io.out_fd);
  set_non_blocking(io.in_fd);
  io.read_watch = g_unix_fd_add(io.out_fd, static_cast<GIOCondition>(G_IO_IN | G_IO_PRI | G_IO_ERR | G_IO_HUP),
                                on_output, &io);
  if (io.read_watch == 0) {
    log_error("Failed to add watch!\n");
    cleanup_pipes(io);
    return false;
  }
  io.pidfd = static_cast<int>(syscall(SYS_pidfd_open, io.pid, 0));
  if (io.hooks->respawned != nullptr)
    io.hooks->respawned(static_cast<int>(io.pid));
  return true;
}

void perform_one(lane_io &io, const lane_action &action) {
  using kind = lane_action::kind;
  switch (action.what) {
  case kind::write:
    io.out += action.text;
    if (io.write_watch == 0)
      write_out(io);
    break;
  case kind::collect:
    if (io.hooks->collect != nullptr)
      io.hooks->collect(action.batch, action.path.c_str(), action.text.c_str(), action.size, action.modified);
    break;
  case kind::delimit:
    if (io.hooks->delimit != nullptr)
      io.hooks->delimit(action.batch);
    break;
  case kind::kill:
    if (!kill_worker(io) && !action.text.empty())
      log_error("%s", action.text.c_str());
    remove_source(&io.grace);
    io.grace = g_timeout_add_seconds(lane_kill_grace_seconds, on_kill_grace, &io);
    break;
  case kind::abandon:
    cleanup_pipes(io);
    break;
  case kind::spawn:
    if (spawn_worker(io))
      feed(io, lane_started);
    else
      feed(io, lane_spawn_failed);
    break;
  case kind::arm_timer:
    io.deadline = g_get_monotonic_time() + static_cast<gint64>(io.hooks->timeout_seconds) * G_USEC_PER_SEC;
    if (io.timer == 0)
      io.timer = g_timeout_add_seconds(io.hooks->timeout_seconds, on_timer, &io);
    break;
  case kind::cancel_timer:
    remove_source(&io.timer);
    break;
  case kind::log:
    log_error("%s", action.text.c_str());
    break;
  }
}

// Hands every whole line read to the lane, then drops them from the buffer
// in one go. True when at least one line was whole.
bool take_lines(lane_io &io) {
  size_t start = 0;
  while (start < io.in.size()) {
    const void *end = memchr(io.in.data() + start, '\n', io.in.size() - start);
    if (end == nullptr)
      break;
    size_t length = static_cast<size_t>(static_cast<const char *>(end) - io.in.data()) - start;
    std::string line = io.in.substr(start, length);
    start += length + 1;
    // Only a line feed ends an answer: a JSON text may hold a raw U+2029,
    // which the worker's own reader would take for the end of a line.
    while (!line.empty() && g_ascii_isspace(line.back()))
      line.pop_back();
    feed(io, [&line](lane &l, lane_actions &out) { lane_answer(l, line, out); });
  }
  io.in.erase(0, start);
  return start > 0;
}

gboolean on_output(gint fd, GIOCondition condition, gpointer data) {
  auto &io = *static_cast<lane_io *>(data);
  bool gone = (condition & (G_IO_ERR | G_IO_NVAL)) != 0;
  size_t before = io.in.size();
  // Everything the worker wrote before it died is read first: answers it
  // gave must be collected, not blamed on its death.
  for (int i = 0; i < max_chunks_per_event && !gone; ++i) {
    char chunk[read_chunk];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      io.in.append(chunk, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof chunk && (condition & G_IO_HUP) == 0)
        break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      gone = n == 0 || errno != EAGAIN;
      break;
    }
  }
  bool whole = take_lines(io);
  if (!whole && io.in.size() > before)
    feed(io, lane_partial);
  if (!gone)
    return G_SOURCE_CONTINUE;
  io.read_watch = 0; // this watch ends with G_SOURCE_REMOVE
  cleanup_pipes(io);
  feed(io, lane_gone);
  return G_SOURCE_REMOVE;
}

} // namespace

bool lane_io_start(lane_io &io) {
  if (!spawn_worker(io))
    return false;
  feed(io, lane_started);
  return true;
}

void lane_io_perform(lane_io &io, lane_actions &actions) {
  for (lane_action &action : actions)
    io.pending.push_back(std::move(action));
  actions.clear();
  if (io.performing)
    return;
  io.performing = true;
  while (!io.pending.empty()) {
    lane_action action = std::move(io.pending.front());
    io.pending.pop_front();
    perform_one(io, action);
  }
  io.performing = false;
}

void lane_io_close(lane_io &io) {
  if (lane_busy(io.state) || io.state.worker == lane_worker::stopping)
    kill_worker(io);
  cleanup_pipes(io);
  remove_source(&io.timer);
  lane_clear(io.state);
  io.state.worker = lane_worker::none;
  io.pending.clear();
}

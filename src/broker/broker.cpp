#include "broker/broker.h"

#include "broker/broker_lines.h"
#include "broker/broker_testing.h"
#include "broker/worker_exe.h"
#include "base/log.h"
#include "base/channel.h"

#include <glib.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The queue holds three kinds of owned texts. A request line "ID:PATH\n"
// always starts with its id; the other two start with a colon, so no request
// line can be taken for them.
const char *const delimiter_file = ":fake:";
// A request whose path can't be written to the worker: the prefix followed by
// the request line. It is answered in its place without reaching the worker.
const char *const refused_prefix = ":refused:";

const char *const failed_record = "{\"returnValue\":false}";
const char *const toxic_record = "{\"returnValue\":false,\"toxic\":true}";

// A request the worker has not answered in this many seconds costs the worker.
constexpr unsigned default_timeout_seconds = 60;
constexpr GIOCondition reply_conditions =
    static_cast<GIOCondition>(G_IO_IN | G_IO_PRI | G_IO_ERR | G_IO_HUP | G_IO_NVAL);
constexpr GIOCondition gone_conditions = static_cast<GIOCondition>(G_IO_ERR | G_IO_HUP | G_IO_NVAL);

GQueue pending_metadata_list = G_QUEUE_INIT;
char *outstanding_file;
guint outstanding_timer;
long long request_id;
bool spawned;
GPid child_pid;
// A descriptor naming the worker process itself. GLib's spawn hands the
// worker to init, which reaps it as soon as it dies, so by the time the
// broker kills it its pid may name another process; a signal sent through
// this descriptor can only reach the worker. -1 where the kernel has none.
int child_pidfd = -1;
int standard_in = -1;
int standard_out = -1;
GIOChannel *spawn_in;
GIOChannel *spawn_out;
guint reply_watch;
// What the worker has written that is not yet a whole line. The broker keeps
// it rather than the channel: a part line left in the channel's buffer would
// make the watch fire again at once, for as long as the rest takes to come.
GString *reply_buffer;
// The request in flight has already cost one worker; its next death makes it
// toxic.
bool second_time_toxic;

void empty_main_spawn_callback(int) {}

metadata_collect_fn main_collected_callback;
metadata_delimit_fn main_delimit_reached_callback;
metadata_respawn_fn main_respawn_process_callback = empty_main_spawn_callback;

unsigned timeout_seconds = default_timeout_seconds;
const char *worker_path_for_testing;

bool is_request_line(const char *item) { return item != nullptr && item[0] != ':'; }

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

void remove_timer() {
  if (outstanding_timer != 0) {
    g_source_remove(outstanding_timer);
    outstanding_timer = 0;
  }
}

// Every way a request leaves the in-flight slot except being put back for its
// retry ends its story, so the next request starts with its own retry.
void release_outstanding() {
  g_free(outstanding_file);
  outstanding_file = nullptr;
  second_time_toxic = false;
}

// Hands the path of a request line (trailing white space stripped) and `json`
// to the collect callback.
void collect(const char *request_line, const char *json) {
  const char *after = string_after_id(request_line);
  g_autofree char *path = g_strchomp(g_strdup(after != nullptr ? after : ""));
  if (main_collected_callback != nullptr)
    main_collected_callback(path, json);
}

// SIGKILL to the current worker; false when it can't be sent (the worker
// is already gone, for one).
bool kill_worker() {
  if (child_pidfd >= 0)
    return syscall(SYS_pidfd_send_signal, child_pidfd, SIGKILL, nullptr, 0) == 0;
  return kill(child_pid, SIGKILL) == 0;
}

void close_pidfd() {
  if (child_pidfd >= 0)
    close(child_pidfd);
  child_pidfd = -1;
}

void cleanup_pipes() {
  close_pidfd();
  if (spawn_in == nullptr && spawn_out == nullptr)
    return;
  // The watch holds the output channel and would go on polling a closed
  // descriptor, so it goes first.
  if (reply_watch != 0) {
    g_source_remove(reply_watch);
    reply_watch = 0;
  }
  g_clear_pointer(&spawn_out, g_io_channel_unref);
  g_clear_pointer(&spawn_in, g_io_channel_unref);
  if (standard_in >= 0)
    close(standard_in);
  if (standard_out >= 0)
    close(standard_out);
  standard_in = -1;
  standard_out = -1;
  spawned = false;
  if (reply_buffer != nullptr) {
    g_string_free(reply_buffer, TRUE);
    reply_buffer = nullptr;
  }
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

gboolean parser_reply(GIOChannel *channel, GIOCondition condition, gpointer);

bool spawn_process() {
  if (spawned)
    return false;
  // A worker killed on its time-out may still hold its pipes.
  cleanup_pipes();
  worker_exe exe = worker_path_for_testing != nullptr ? worker_exe{worker_path_for_testing, worker_path_for_testing}
                                                      : worker_exe_for_service();
  char *argv[] = {exe.file.data(), exe.name.data(), const_cast<char *>("-demon"), nullptr};
  GError *error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, argv, nullptr, G_SPAWN_FILE_AND_ARGV_ZERO, child_setup, nullptr, &child_pid,
                                &standard_in, &standard_out, nullptr, &error)) {
    log_error("Failed to allocate and spawn child! %s: %s\n", exe.file.c_str(), error->message);
    g_clear_error(&error);
    standard_in = -1;
    standard_out = -1;
    return false;
  }
  // A partial answer must never block the main loop.
  set_non_blocking(standard_out);

  spawn_in = build_unencoded_channel(standard_in);
  if (spawn_in == nullptr) {
    log_error("Failed to allocate new input io channel!\n");
    close(standard_in);
    close(standard_out);
    standard_in = -1;
    standard_out = -1;
    return false;
  }
  // Unbuffered, a failed write leaves nothing behind for the channel to try
  // again when it is released.
  g_io_channel_set_buffered(spawn_in, FALSE);
  spawn_out = build_unencoded_channel(standard_out);
  if (spawn_out == nullptr) {
    log_error("Failed to allocate new output io channel!\n");
    cleanup_pipes();
    return false;
  }
  g_io_channel_set_buffered(spawn_out, FALSE);
  reply_watch = g_io_add_watch(spawn_out, reply_conditions, parser_reply, nullptr);
  if (reply_watch == 0) {
    log_error("Failed to add watch!\n");
    cleanup_pipes();
    return false;
  }
  close_pidfd();
  child_pidfd = static_cast<int>(syscall(SYS_pidfd_open, child_pid, 0));
  spawned = true;
  main_respawn_process_callback(static_cast<int>(child_pid));
  return true;
}

// The whole line, then a flush; false when any of it fails. A write to a
// worker that has died fails with EPIPE, as the service ignores SIGPIPE.
bool write_request(const char *line) {
  if (spawn_in == nullptr)
    return false;
  gsize length = strlen(line);
  gsize done = 0;
  while (done < length) {
    gsize written = 0;
    if (g_io_channel_write_chars(spawn_in, line + done, static_cast<gssize>(length - done), &written, nullptr) !=
            G_IO_STATUS_NORMAL ||
        written == 0)
      return false;
    done += written;
  }
  return g_io_channel_flush(spawn_in, nullptr) == G_IO_STATUS_NORMAL;
}

// Appends what the worker's output holds, up to a bound per call so that a
// worker writing without pause can't hold up the main loop.
void read_reply_bytes(GIOChannel *channel) {
  constexpr int max_chunks = 16;
  if (reply_buffer == nullptr)
    reply_buffer = g_string_new(nullptr);
  char chunk[65536];
  for (int i = 0; i < max_chunks; i++) {
    gsize got = 0;
    GIOStatus status = g_io_channel_read_chars(channel, chunk, sizeof chunk, &got, nullptr);
    g_string_append_len(reply_buffer, chunk, static_cast<gssize>(got));
    if (status != G_IO_STATUS_NORMAL || got < sizeof chunk)
      return;
  }
}

// Takes the first whole line off the read bytes, without its line feed, or
// null. Only a line feed ends an answer: the worker ends each with one, and a
// JSON text may hold a raw U+2029, which an automatic line-end detection
// would take for the end of the line.
char *take_reply_line() {
  if (reply_buffer == nullptr)
    return nullptr;
  const char *end = static_cast<const char *>(memchr(reply_buffer->str, '\n', reply_buffer->len));
  if (end == nullptr)
    return nullptr;
  gsize length = static_cast<gsize>(end - reply_buffer->str);
  char *line = g_strndup(reply_buffer->str, length);
  g_string_erase(reply_buffer, 0, static_cast<gssize>(length + 1));
  return line;
}

gboolean file_timer_fired(gpointer) {
  outstanding_timer = 0;
  if (!spawned)
    return G_SOURCE_REMOVE;
  if (!kill_worker())
    log_error("Failed to forcefully terminate child!\n");
  // The hang-up of its pipe, handled by parser_reply, brings the new worker.
  spawned = false;
  return G_SOURCE_REMOVE;
}

// Takes items off the queue until one request is in flight or the queue is
// empty. Delimiters and refused requests are answered here at once, each in
// its place; during their callback they count as in flight, so a callback
// that queues and delimits a new batch does not overtake them.
void ready_next_request() {
  while (!g_queue_is_empty(&pending_metadata_list) && outstanding_file == nullptr) {
    outstanding_file = static_cast<char *>(g_queue_pop_head(&pending_metadata_list));
    if (strcmp(outstanding_file, delimiter_file) == 0) {
      if (main_delimit_reached_callback != nullptr)
        main_delimit_reached_callback();
      release_outstanding();
      continue;
    }
    if (g_str_has_prefix(outstanding_file, refused_prefix)) {
      collect(outstanding_file + strlen(refused_prefix), failed_record);
      release_outstanding();
      continue;
    }
    if (!write_request(outstanding_file)) {
      log_error("Failed to request metadata for %s\n", outstanding_file);
      if (spawned) {
        // The worker can't take the line: it has died, or its input broke,
        // and its hang-up is still to come. Dropping the request here would
        // drop every request after it too, each write failing in turn. The
        // request stays in flight instead, as if the worker had died on it,
        // and the hang-up sends it again to a new worker; the kill makes
        // sure that hang-up comes (a worker already gone needs none).
        kill_worker();
        spawned = false;
        return;
      }
      release_outstanding();
      continue;
    }
    remove_timer();
    outstanding_timer = g_timeout_add_seconds(timeout_seconds, file_timer_fired, nullptr);
  }
}

// After a worker is gone. With no worker left the sender still drains the
// queue (every request dropped, every delimiter reached), so that no batch
// waits for ever.
void respawn_and_send() {
  if (!spawn_process())
    log_error("Failed to respawn metadata process!\n");
  ready_next_request();
}

void worker_gone() {
  cleanup_pipes();
  if (is_request_line(outstanding_file)) {
    if (!second_time_toxic) {
      log_error("First time parser died on us %s.\n", outstanding_file);
      second_time_toxic = true;
      g_queue_push_head(&pending_metadata_list, outstanding_file);
      outstanding_file = nullptr;
      respawn_and_send();
      return;
    }
    log_error("Reporting as second time toxic, %s\n", outstanding_file);
    log_error("Toxic file %s!\n", outstanding_file);
    collect(outstanding_file, toxic_record);
    release_outstanding();
  }
  respawn_and_send();
}

// Handles one answer line, trailing white space stripped. Answers with
// another id, or while nothing is in flight, are discarded.
void handle_reply_line(const char *line) {
  if (is_request_line(outstanding_file)) {
    const char *json = nullptr;
    switch (match_answer(outstanding_file, line, &json)) {
    case answer_match::collect:
      collect(outstanding_file, json);
      break;
    case answer_match::no_text:
      log_error("Invalid output from parser!\n");
      break;
    case answer_match::other_id:
      break;
    }
    release_outstanding();
  }
  ready_next_request();
}

gboolean parser_reply(GIOChannel *channel, GIOCondition condition, gpointer) {
  // Any sign of life from the worker ends the request's time-out; it is not
  // armed again for the same request.
  remove_timer();
  if ((condition & gone_conditions) != 0) {
    worker_gone();
    return G_SOURCE_REMOVE;
  }
  second_time_toxic = false;

  read_reply_bytes(channel);
  char *line = take_reply_line();
  if (line == nullptr) {
    log_error("Line was short!\n");
    return G_SOURCE_CONTINUE;
  }
  // Lines read in the same go are handled now: no further event would
  // announce them.
  do {
    handle_reply_line(g_strchomp(line));
    g_free(line);
  } while ((line = take_reply_line()) != nullptr);
  return G_SOURCE_CONTINUE;
}

} // namespace

bool metadata_new(int *pid) {
  // A write to a worker that has just died must fail as a write, not end the
  // service.
  signal(SIGPIPE, SIG_IGN);
  if (!spawn_process()) {
    metadata_free();
    return false;
  }
  if (pid != nullptr)
    *pid = static_cast<int>(child_pid);
  return true;
}

void metadata_free() {
  // A worker busy with a request may never read the end of its input (a file
  // that hangs it would keep it spinning after the service is gone).
  if (spawned && is_request_line(outstanding_file))
    kill_worker();
  cleanup_pipes();
  metadata_clear();
  remove_timer();
}

void metadata_clear() {
  g_queue_clear_full(&pending_metadata_list, g_free);
  release_outstanding();
}

bool metadata_request(const char *path) {
  if (path == nullptr) {
    log_error("Invalid path for metadata! %s\n", "(null)");
    return false;
  }
  if (!spawned) {
    log_error("Spawned process is not running! %s\n", path);
    return false;
  }
  ++request_id;
  bool refused = path_has_line_end(path);
  char *item = g_strdup_printf("%s%lld:%s\n", refused ? refused_prefix : "", request_id, path);
  if (item == nullptr) {
    log_error("Failed to allocate path for metadata! %s\n", path);
    return false;
  }
  if (refused)
    log_error("Path holds a line end, not sent to the parser! %s\n", path);
  g_queue_push_tail(&pending_metadata_list, item);
  return true;
}

void metadata_delimit() {
  g_queue_push_tail(&pending_metadata_list, g_strdup(delimiter_file));
  ready_next_request();
}

bool metadata_queue_is_empty() { return g_queue_is_empty(&pending_metadata_list); }

void metadata_register_collect(metadata_collect_fn callback) { main_collected_callback = callback; }

void metadata_register_delimit_reached(metadata_delimit_fn callback) { main_delimit_reached_callback = callback; }

void metadata_register_respawn_process(metadata_respawn_fn callback) {
  main_respawn_process_callback = callback != nullptr ? callback : empty_main_spawn_callback;
}

void metadata_set_timeout_for_testing(unsigned seconds) {
  timeout_seconds = seconds != 0 ? seconds : default_timeout_seconds;
}

void metadata_set_worker_path_for_testing(const char *path) { worker_path_for_testing = path; }

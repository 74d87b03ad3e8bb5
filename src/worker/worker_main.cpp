#include "worker/worker_main.h"

#include "extract/dispatch.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/channel.h"
#include "worker/confine.h"
#include "worker/request_line.h"

#include <csignal>
#include <sys/stat.h>
#include <cstring>
#include <unistd.h>

namespace {

#ifdef MS_TEST_HOOKS
// The path that makes the worker spin without answering until it is killed:
// the hook with which the broker's time-out and toxic handling are tested.
// Test builds only: an installed worker treats this path like any other.
const char *const toxic_test_path = "::test::toxic::neverreturn::";

[[noreturn]] void spin_forever() {
  volatile unsigned long counter = 0;
  for (;;)
    counter = counter + 1;
}
#endif

GIOChannel *in_channel;
GIOChannel *out_channel;

// Runs in signal context, so it only logs through the signal-safe path,
// closes the channels' descriptors (the channel structures go with the
// process) and ends the process.
void handle_sigterm(int) {
  log_error_signal_safe("SIGTERM hit! exiting main loop.\n");
  if (in_channel != nullptr)
    close(STDIN_FILENO);
  if (out_channel != nullptr)
    close(STDOUT_FILENO);
  _exit(100);
}

void release_channels() {
  if (in_channel != nullptr) {
    g_io_channel_unref(in_channel);
    in_channel = nullptr;
  }
  if (out_channel != nullptr) {
    g_io_channel_unref(out_channel);
    out_channel = nullptr;
  }
}

// GLib's own messages (warnings of the libraries we call, or the fatal error
// of a refused allocation) go through the worker's log like ours. GLib's
// default writer first asks whether standard error is a journal socket,
// a call the confined worker may not make.
GLogWriterOutput write_glib_log(GLogLevelFlags, const GLogField *fields, gsize n_fields, gpointer) {
  const char *domain = nullptr;
  const char *message = "";
  for (gsize i = 0; i < n_fields; ++i) {
    if (fields[i].length >= 0)
      continue; // only text fields carry the domain and the message
    if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
      domain = static_cast<const char *>(fields[i].value);
    else if (strcmp(fields[i].key, "MESSAGE") == 0)
      message = static_cast<const char *>(fields[i].value);
  }
  log_error("%s%s%s\n", domain != nullptr ? domain : "", domain != nullptr ? ": " : "", message);
  return G_LOG_WRITER_HANDLED;
}

// The answer line for one request line.
std::string answer_request(char *line) {
  long long id = 0;
  const char *path = nullptr;
  switch (parse_request_line(line, &id, &path)) {
  case request_shape::malformed:
    log_error("Invalid request!\n");
    return malformed_answer();
  case request_shape::empty_path:
    log_error("Invalid request!\n");
    return refused_answer(id, open_refusal_word(open_refusal::empty_path));
  case request_shape::file:
    break;
  }
  json_ptr root(json_object_new_object());
  if (!json_is_created(root.get())) {
    root.release();
    log_error("Failed to allocate root!\n");
    return refused_answer(id, "noMemory");
  }
#ifdef MS_TEST_HOOKS
  if (strcmp(path, toxic_test_path) == 0)
    spin_forever();
#endif
  open_refusal refusal = open_refusal::none;
  struct stat opened {};
  if (!parse_file(path, root.get(), &refusal, &opened)) {
    log_error("Failed to parse metadata!\n");
    return refused_answer(id, open_refusal_word(refusal));
  }
  const char *json = json_object_to_json_string(root.get());
  if (json == nullptr) {
    log_error("Failed to make metadata into string!\n");
    return refused_answer(id, "noMemory");
  }
  return format_answer(id, json, static_cast<long long>(opened.st_size), static_cast<long long>(opened.st_mtime));
}

} // namespace

int main_child(int, char **) {
  log_open("mediasiftd-demon");
  if (signal(SIGTERM, handle_sigterm) == SIG_ERR) {
    log_error("Failed to set SIGTERM handler!\n");
    return 2;
  }
  // A broker that went away must show up as a failed write (status 12), not
  // as a silent death by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  in_channel = build_unencoded_channel(STDIN_FILENO);
  if (in_channel == nullptr) {
    log_error("Failed to create input channel!\n");
    return 3;
  }
  out_channel = build_unencoded_channel(STDOUT_FILENO);
  if (out_channel == nullptr) {
    log_error("Failed to create output channel!\n");
    release_channels();
    return 4;
  }

  // From here on the worker only reads files and answers on its pipes.
  g_log_set_writer_func(write_glib_log, nullptr, nullptr);
  log_use_prepared_channels();
  confine_worker(log_socket_fd());

  for (;;) {
    char *line = nullptr;
    GIOStatus status = g_io_channel_read_line(in_channel, &line, nullptr, nullptr, nullptr);
    if (status != G_IO_STATUS_NORMAL || line == nullptr) {
      g_free(line);
      log_error("Failed to read line from input!\n");
      log_error("No input file!\n");
      release_channels();
      return 11;
    }
    std::string answer = answer_request(line);
    g_free(line);

    gsize written = 0;
    if (g_io_channel_write_chars(out_channel, answer.data(), static_cast<gssize>(answer.size()), &written,
                                 nullptr) != G_IO_STATUS_NORMAL) {
      log_error("Failed to write to output channel!\n");
      release_channels();
      return 12;
    }
    if (g_io_channel_flush(out_channel, nullptr) != G_IO_STATUS_NORMAL) {
      log_error("Failed to flush output channel!\n");
      release_channels();
      return 14;
    }
  }
}

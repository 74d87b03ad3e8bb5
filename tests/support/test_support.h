// Helpers shared by the test suites: temporary files, in-memory streams,
// records as JSON text, captured log lines and a real worker process on pipes.
#pragma once

#include "base/json_helpers.h"
#include "support/byte_stream.h"
#include "testing/harness.h"

#include <sys/types.h>

#include <glib.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// AddressSanitizer builds (-DMS_SANITIZE=ON) reserve huge address ranges and
// keep freed memory a while: memory ceilings and resident sizes mean nothing
// there. Whether the executable under test has the worker's time-out test
// hook (-DMS_TEST_HOOKS=ON).
constexpr bool sanitizer_build = MS_SANITIZE_BUILT;
constexpr bool test_hook_built = MS_TEST_HOOKS_BUILT;

// A fresh temporary folder, removed with its files by the destructor.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  // Writes `bytes` to NAME inside the folder and returns the full path.
  std::string write(const std::string &name, const std::string &bytes) const;
  std::string path;
};

std::string read_file(const std::string &path);
// Runs the GLib default main context until `done` holds or `timeout_ms` passed;
// returns the last answer of `done`.
bool run_until(const std::function<bool()> &done, int timeout_ms = 10000);
// A GArray of g_strdup'ed texts, as the service keeps paths and records.
GArray *string_array(const std::vector<std::string> &texts);
std::string data_path(const std::string &relative); // under tests/data

// The whole record parse_file makes for `path`, as plain JSON text ("" when
// the file could not be opened).
std::string record_text(const std::string &path);
json_ptr record_of(const std::string &path);
// The record the worker answers for a file it did not parse:
// {"returnValue":false,"errorText":WORD}.
std::string refused_record(const std::string &word);
// That record for `path`, as this process finds it ("" when it opens).
std::string refused_record_of(const std::string &path);
json_ptr parse_json(const std::string &text);
// Plain JSON text of `value`, and of the JSON `text` written again plainly,
// so that an expectation can be written with any spacing. Bad JSON in an
// expectation fails the test.
std::string json_text(json_object *value);
std::string canonical_json(const std::string &text);

// What `parse(stream, record)` adds to a fresh record from a stream over
// `bytes`: its member `key` as plain JSON text, "" when there is none.
template <typename Parse> std::string parsed_member(const std::string &bytes, const char *key, Parse parse) {
  FILE *file = stream_from_bytes(bytes);
  json_ptr root(json_object_new_object());
  parse(file, root.get());
  fclose(file);
  json_object *member = json_object_object_get(root.get(), key);
  return member != nullptr ? json_text(member) : "";
}

// Collects every message logged through log_error while it lives.
struct log_capture {
  log_capture();
  ~log_capture();
  log_capture(const log_capture &) = delete;
  log_capture &operator=(const log_capture &) = delete;
  int count(const std::string &message) const;
  std::vector<std::string> lines;
};

// A real `mediasiftd -demon` (or `binary -demon`) on pipes; its standard
// error goes to a memfd.
struct worker_process {
  explicit worker_process(const char *binary = MS_BINARY);
  ~worker_process(); // kills the worker if still running and reaps it
  worker_process(const worker_process &) = delete;
  worker_process &operator=(const worker_process &) = delete;
  void send(const std::string &bytes) const { worker_pipe_send(pipe, bytes); }
  // One answer line (without its line feed); false on end or time-out.
  bool read_line(std::string *line, int timeout_ms = 10000) { return worker_pipe_read_line(&pipe, line, timeout_ms); }
  void close_input() { worker_pipe_close_input(&pipe); }
  // Waits for the worker to end; returns the raw wait status, -1 on time-out.
  int wait(int timeout_ms = 10000) { return worker_pipe_wait(&pipe, timeout_ms); }
  // Everything the worker wrote to standard error so far.
  std::string errors() const;
  worker_pipe pipe;
  pid_t &pid = pipe.pid;
  int err_fd = -1;
};

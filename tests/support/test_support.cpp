#include "support/test_support.h"

#include "extract/dispatch.h"
#include "base/log.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

temp_dir::temp_dir() {
  char pattern[] = "/tmp/mediasift-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    abort();
  path = pattern;
}

temp_dir::~temp_dir() {
  std::string command = "rm -rf '" + path + "'";
  int ignored = system(command.c_str());
  (void)ignored;
}

std::string temp_dir::write(const std::string &name, const std::string &bytes) const {
  std::string full = path + "/" + name;
  std::ofstream(full, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return full;
}

std::string read_file(const std::string &path) {
  std::ostringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

bool run_until(const std::function<bool()> &done, int timeout_ms) {
  guint ticker = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  bool finished = false; // `done` is asked once per turn: it may reap a child
  while (!(finished = done()) && g_get_monotonic_time() < deadline)
    g_main_context_iteration(nullptr, TRUE);
  g_source_remove(ticker);
  return finished;
}

GArray *string_array(const std::vector<std::string> &texts) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(char *));
  for (const std::string &t : texts) {
    char *copy = g_strdup(t.c_str());
    g_array_append_val(array, copy);
  }
  return array;
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
  return root ? json_text(root.get()) : "";
}

std::string refused_record(const std::string &word) {
  return "{\"returnValue\":false,\"errorText\":\"" + word + "\"}";
}

std::string refused_record_of(const std::string &path) {
  json_ptr root(json_object_new_object());
  open_refusal refusal = open_refusal::none;
  return parse_file(path.c_str(), root.get(), &refusal) ? "" : refused_record(open_refusal_word(refusal));
}

json_ptr parse_json(const std::string &text) { return json_ptr(json_tokener_parse(text.c_str())); }

std::string json_text(json_object *value) { return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN); }

std::string canonical_json(const std::string &text) {
  json_ptr value = parse_json(text);
  EXPECT_TRUE(value || text == "null") << "not JSON: " << text;
  return json_text(value.get());
}

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

worker_process::worker_process(const char *binary) {
  std::string error;
  err_fd = memfd_create("worker-stderr", MFD_CLOEXEC);
  if (err_fd < 0 || !worker_pipe_start(&pipe, binary, err_fd, &error))
    abort();
}

worker_process::~worker_process() {
  worker_pipe_end(&pipe);
  close(err_fd);
}

// The memfd opened afresh through /proc has its own offset from the start.
std::string worker_process::errors() const { return read_file("/proc/self/fd/" + std::to_string(err_fd)); }

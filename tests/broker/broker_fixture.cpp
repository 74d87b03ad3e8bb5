#include "broker_fixture.h"

#include "broker/broker.h"
#include "broker/broker_testing.h"

#include <dirent.h>
#include <glib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

const char *const hook_path = "::test::toxic::neverreturn::";
const char *const failed_json = "{\"returnValue\":false,\"errorText\":\"notFound\"}";
const char *const toxic_json = "{\"returnValue\":false,\"toxic\":true}";

std::vector<std::string> broker_test::events;
std::vector<int> broker_test::pids;

namespace {

// Each open descriptor with what it points to.
std::set<std::string> open_fds() {
  std::set<std::string> fds;
  DIR *dir = opendir("/proc/self/fd");
  while (dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir))
      continue;
    char target[256] = {};
    ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof target - 1);
    // A file the test runner deleted meanwhile is still the same descriptor.
    std::string what = n > 0 ? target : "?";
    fds.insert(std::string(entry->d_name) + " -> " + what.substr(0, what.rfind(" (deleted)")));
  }
  if (dir != nullptr)
    closedir(dir);
  return fds;
}

void on_collect(void *, const char *path, const char *json, double, double) {
  json_ptr parsed = parse_json(json);
  broker_test::events.push_back(std::string(path) + " => " +
                                (parsed ? json_object_to_json_string_ext(parsed.get(), JSON_C_TO_STRING_PLAIN) : json));
}

} // namespace

void broker_test::SetUp() {
  // The tests send signals from outside, so they reach a worker at any
  // instant, also while it is still starting up. The sanitizer's SIGSEGV
  // handler would then report a bad address from inside the loader or its
  // own runtime, and such a report was seen to hang, holding the worker
  // until the broker's time-out. Without that handler the workers die of the
  // signal at once, as a release build's worker does.
  static const bool segv_unhandled = [] {
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr && *asan != '\0' ? asan + std::string(":") : "";
    return setenv("ASAN_OPTIONS", (options + "handle_segv=0").c_str(), 1) == 0;
  }();
  ASSERT_TRUE(segv_unhandled);
  // Workers are spawned through a short-lived intermediate process; as a
  // subreaper this test adopts them and can wait for their exit status.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  g_main_context_default(); // its wake-up descriptor lives for the process
  fds_before = open_fds();
  events.clear();
  pids.clear();
  metadata_register_collect(on_collect);
  metadata_register_delimit_reached([](void *) { events.emplace_back("delimit"); });
  metadata_register_respawn_process([](int pid) { pids.push_back(pid); });
}

void broker_test::TearDown() {
  metadata_free();
  for (int pid : pids) {
    if (reaped.count(pid) == 0) {
      EXPECT_NE(reap(pid), -1) << "worker " << pid << " still running";
    }
  }
  metadata_set_timeout_for_testing(0);
  metadata_set_worker_path_for_testing(nullptr);
  metadata_set_lanes_for_testing(0);
  EXPECT_EQ(open_fds(), fds_before);
}

void broker_test::start(const char *worker, unsigned timeout, unsigned lanes) {
  // The service spawns its own executable; in a test that is the built one.
  metadata_set_worker_path_for_testing(worker != nullptr ? worker : MS_BINARY);
  metadata_set_timeout_for_testing(timeout);
  metadata_set_lanes_for_testing(lanes);
  int pid = 0;
  ASSERT_TRUE(metadata_new(&pid));
  ASSERT_EQ(pids, std::vector<int>{pid});
}

void broker_test::batch(const std::vector<std::string> &paths) {
  for (const std::string &path : paths)
    EXPECT_TRUE(metadata_request(path.c_str())) << path;
  metadata_delimit();
}

bool broker_test::run_until_batches(size_t count, int seconds) {
  return run_until([count] { return static_cast<size_t>(std::count(events.begin(), events.end(), "delimit")) >= count; },
                   seconds);
}

void broker_test::kill_worker(int signal) {
  size_t known = pids.size();
  ASSERT_EQ(kill(pids.back(), signal), 0);
  ASSERT_TRUE(run_until([known] { return pids.size() > known; }));
}

int broker_test::reap(int pid, int seconds) {
  reaped.insert(pid);
  int status = wait_child(pid, seconds * 1000);
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return status;
}

int broker_test::count_logged(const std::string &prefix) const {
  return static_cast<int>(std::count_if(log.lines.begin(), log.lines.end(),
                                        [&](const std::string &line) { return line.rfind(prefix, 0) == 0; }));
}

// A file system that never answers, through the real service: a FUSE file
// system (stallfs.py, on the Debian package python3-fuse) whose answers
// about one file wait until the test releases them. The workers that touch
// that file sleep uninterruptibly, even through SIGKILL; the service must
// go on answering other callers, obey SIGTERM, and leave nothing behind once
// the file system wakes.
#include "broker/broker.h"
#include "qs/bus_fixture.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool python_fuse_present() {
  gint status = -1;
  const char *argv[] = {"/usr/bin/python3", "-c", "import fuse", nullptr};
  return g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr,
                      nullptr, nullptr, &status, nullptr) &&
         g_spawn_check_wait_status(status, nullptr);
}

// The stalling file system mounted on dir/mnt for as long as it lives.
struct stall_mount {
  explicit stall_mount(const temp_dir &dir)
      : mount(dir.path + "/mnt"), release(dir.path + "/release") {
    mkdir(mount.c_str(), 0755);
    pid = fork();
    if (pid == 0) {
      setenv("STALL_RELEASE", release.c_str(), 1);
      // No attribute caching: every look at a file reaches the file system.
      execl("/usr/bin/python3", "python3", MS_STALLFS, mount.c_str(), "-f", "-o",
            "attr_timeout=0,entry_timeout=0,negative_timeout=0", static_cast<char *>(nullptr));
      _exit(127);
    }
    struct stat info {};
    up = run_until([&] { return stat((mount + "/ready").c_str(), &info) == 0; }, 20000);
  }
  ~stall_mount() {
    wake();
    const char *argv[] = {"fusermount", "-u", mount.c_str(), nullptr};
    g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                 nullptr, nullptr, nullptr);
    if (wait_child(pid, 10000) == -1) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  void wake() const { g_file_set_contents(release.c_str(), "", 0, nullptr); }

  std::string mount, release;
  pid_t pid = -1;
  bool up = false;
};

// The service's workers in uninterruptible sleep. Only the first look at the
// stalled file reaches the file system; the kernel holds later looks at the
// same name behind it, in the same sleep.
size_t asleep_in_kernel(const std::string &address) {
  std::vector<pid_t> workers = worker_pids(address);
  return static_cast<size_t>(
      std::count_if(workers.begin(), workers.end(), [](pid_t pid) { return process_state(pid) == 'D'; }));
}

using StalledFileSystem = running_service;

TEST_F(StalledFileSystem, StallsOnlyTheWorkersThatTouchIt) {
  if (access("/dev/fuse", R_OK | W_OK) != 0 || !python_fuse_present())
    GTEST_SKIP() << "needs /dev/fuse and the python3-fuse package";
  temp_dir dir;
  stall_mount fs(dir);
  if (!fs.up)
    GTEST_SKIP() << "the FUSE file system could not be mounted here";
  const std::string stalled = fs.mount + "/stall.mp3";
  const std::string late = fs.mount + "/late.m3u"; // answers a worker, stalls everyone else
  std::string plain_copy = dir.write("plain.m3u", "#EXTM3U\n/music/a.mp3\n");

  // The size and time are the worker's, from the file it opened: the service
  // never looks at the file itself, or this call would stall with it.
  call_result answered = call_parse(client.get(), payload_for({late}), 60000);
  EXPECT_EQ(plain(answered.reply), plain("{\"returnValue\":true,\"files\":[{\"path\":\"" + late +
                                             "\",\"size\":21.0,\"modified\":1234567890.0,\"data\":" +
                                             record_text(plain_copy) + "}]}"))
      << answered.error_name << " " << answered.error_text;

  // One stalled file per lane, then an ordinary file queued behind one of them.
  size_t lanes = metadata_lane_count(sysconf(_SC_NPROCESSORS_ONLN));
  std::vector<call_result> stuck(lanes);
  for (call_result &result : stuck)
    call_async(client.get(), service_bus_name, "parse", payload_for({stalled}), &result, 400000);
  call_result behind;
  call_async(client.get(), service_bus_name, "parse", payload_for({plain_copy}), &behind, 400000);
  // Each stalled file costs two workers, killed and then abandoned.
  ASSERT_TRUE(run_until([&] { return behind.done; }, 400000));
  EXPECT_EQ(plain(behind.reply), expected_reply({plain_copy})) << behind.error_name << " " << behind.error_text;
  ASSERT_TRUE(run_until(
      [&] { return std::all_of(stuck.begin(), stuck.end(), [](const call_result &r) { return r.done; }); }, 400000));
  for (const call_result &result : stuck)
    EXPECT_EQ(plain(result.reply), plain("{\"returnValue\":true,\"files\":[{\"path\":\"" + stalled +
                                             "\",\"size\":0.0,\"modified\":0.0,\"data\":{\"returnValue\":false,"
                                             "\"toxic\":true}}]}"));
  // Every worker that touched the file still sleeps: nothing was released.
  size_t stuck_workers = asleep_in_kernel(bus.address);
  EXPECT_GE(stuck_workers, 2 * lanes);

  // SIGTERM while a worker is stuck in the file system.
  call_result last;
  call_async(client.get(), service_bus_name, "parse", payload_for({stalled}), &last, 400000);
  ASSERT_TRUE(run_until([&] { return asleep_in_kernel(bus.address) > stuck_workers; }, 60000));
  std::vector<pid_t> workers = worker_pids(bus.address);
  EXPECT_GE(workers.size(), 2 * lanes + 1);
  ASSERT_EQ(kill(service, SIGTERM), 0);
  EXPECT_TRUE(wait_process_gone(service, 30000));

  // Once the file system wakes, every stuck worker ends by itself.
  fs.wake();
  for (pid_t worker : workers)
    EXPECT_TRUE(wait_process_gone(worker, 30000)) << worker;
  EXPECT_EQ(worker_pids(bus.address), std::vector<pid_t>{});

  stop();
  EXPECT_NE(bus.errors().find("Killed parser did not exit, abandoned!"), std::string::npos) << bus.errors();
}

} // namespace

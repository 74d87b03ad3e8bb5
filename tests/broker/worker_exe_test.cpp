// The service's choice of the executable it spawns as its worker.
#include "broker/worker_exe.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(WorkerExe, TheServiceRunsItsOwnExecutableElseTheInstalledOne) {
  temp_dir dir;
  std::string installed = dir.path + "/missing/mediasiftd";
  ASSERT_EQ(symlink("/opt/ms/bin/mediasiftd", (dir.path + "/self").c_str()), 0);
  ASSERT_EQ(symlink("/opt/ms/bin/mediasiftd (deleted)", (dir.path + "/replaced").c_str()), 0);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  struct {
    std::string link;
    std::string file, name;
  } cases[] = {
      {"/proc/self/exe", "/proc/self/exe", self},
      {dir.path + "/self", dir.path + "/self", "/opt/ms/bin/mediasiftd"},
      // An upgrade replaced the file: the link still runs the old inode.
      {dir.path + "/replaced", dir.path + "/replaced", "/opt/ms/bin/mediasiftd"},
      // No /proc: the install folder.
      {dir.path + "/no-proc/self/exe", installed, installed},
  };
  for (const auto &c : cases) {
    worker_exe exe = worker_exe_choose(c.link.c_str(), (dir.path + "/missing").c_str());
    EXPECT_EQ(exe.file, c.file) << c.link;
    EXPECT_EQ(exe.name, c.name) << c.link;
  }
  EXPECT_EQ(worker_exe_for_service().file, "/proc/self/exe");
}

} // namespace

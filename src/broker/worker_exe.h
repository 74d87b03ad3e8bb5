// Which executable the service spawns as its parser worker.
#pragma once

#include <string>

// The file to execute and the name the worker gets as its argv[0].
struct worker_exe {
  std::string file;
  std::string name;
};

// The service's own executable, named by `self_link` ("/proc/self/exe"):
// worker and service are then always the same build, at any prefix, even
// while an upgrade replaces the installed file (the link still names the
// running inode). Where `self_link` can't be read (/proc not mounted) it is
// `bindir`/mediasiftd. The name is the link's target without the kernel's
// " (deleted)" suffix. Nothing from the environment takes part.
worker_exe worker_exe_choose(const char *self_link, const char *bindir);

// worker_exe_choose for this process and the install bindir of the build.
worker_exe worker_exe_for_service();

#include "broker/worker_exe.h"

#include <glib.h>

#include <unistd.h>

#include <climits>

#ifndef MS_INSTALL_BINDIR
#error "MS_INSTALL_BINDIR must name the install bindir"
#endif

worker_exe worker_exe_choose(const char *self_link, const char *bindir) {
  char target[PATH_MAX];
  ssize_t length = readlink(self_link, target, sizeof target - 1);
  if (length <= 0) {
    g_autofree char *installed = g_build_filename(bindir, "mediasiftd", nullptr);
    return {installed, installed};
  }
  std::string name(target, static_cast<size_t>(length));
  const std::string deleted = " (deleted)";
  if (name.size() > deleted.size() && name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0)
    name.resize(name.size() - deleted.size());
  return {self_link, name};
}

worker_exe worker_exe_for_service() { return worker_exe_choose("/proc/self/exe", MS_INSTALL_BINDIR); }

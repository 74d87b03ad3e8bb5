// `cmake --install` puts the bus files where dbus-daemon looks, and they work.
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

TEST(Install, PutsWorkingBusFilesUnderThePrefix) {
  temp_dir prefix;
  std::string command = std::string("'") + MS_CMAKE_COMMAND + "' --install '" + MS_BINARY_DIR + "' --prefix '" +
                        prefix.path + "' >'" + prefix.path + "/install.log' 2>&1";
  ASSERT_EQ(system(command.c_str()), 0) << read_file(prefix.path + "/install.log");

  std::string dbus = prefix.path + "/share/dbus-1";
  std::string exec = "Exec=" + prefix.path + "/bin/mediasiftd\n";
  EXPECT_EQ(read_file(dbus + "/services/com.kivo.mediasiftd.service"),
            "[D-BUS Service]\nName=com.kivo.mediasiftd\n" + exec);
  EXPECT_EQ(read_file(dbus + "/system-services/com.kivo.mediasiftd.service"),
            "[D-BUS Service]\nName=com.kivo.mediasiftd\n" + exec + "User=mediasiftd\nSystemdService=mediasiftd.service\n");

  // A bus that reads the installed policy and activates the installed service.
  private_bus bus;
  bus.extra_config = "<include>" + dbus + "/system.d/com.kivo.mediasiftd.conf</include><servicedir>" + dbus +
                     "/services</servicedir>";
  ASSERT_TRUE(bus.start({}, false)) << bus.errors();
  connection_ptr client(bus_connect(bus.address));
  ASSERT_NE(client, nullptr);
  call_result result = call_parse(client.get(), "{\"files\":[]}");
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[]}") << result.error_text << bus.errors();
  client.reset();
  bus.stop();
  EXPECT_EQ(sanitizer_reports(bus.errors()), std::vector<std::string>{}) << bus.errors();
}

// Installed into a staging folder from a build with the default prefix, as a
// package build does: the tree holds every file an integrator expects, the
// unit passes systemd's checks, and the service run from that tree, not from
// the prefix it was built for, spawns its worker from its own executable.
TEST(Install, AStagedTreeHoldsTheUnitAndItsServiceRunsFromThere) {
  temp_dir stage;
  std::string command = std::string("DESTDIR='") + stage.path + "' '" + MS_CMAKE_COMMAND + "' --install '" +
                        MS_BINARY_DIR + "' >'" + stage.path + "/install.log' 2>&1";
  ASSERT_EQ(system(command.c_str()), 0) << read_file(stage.path + "/install.log");
  std::string root = stage.path + MS_INSTALL_PREFIX;
  std::string exec = std::string("Exec=") + MS_INSTALL_PREFIX + "/bin/mediasiftd\n";
  EXPECT_EQ(read_file(root + "/share/dbus-1/system-services/com.kivo.mediasiftd.service"),
            "[D-BUS Service]\nName=com.kivo.mediasiftd\n" + exec + "User=mediasiftd\nSystemdService=mediasiftd.service\n");
  EXPECT_EQ(read_file(root + "/share/dbus-1/services/com.kivo.mediasiftd.service"),
            "[D-BUS Service]\nName=com.kivo.mediasiftd\n" + exec);
  EXPECT_EQ(read_file(root + "/share/dbus-1/system.d/com.kivo.mediasiftd.conf"),
            read_file(MS_SOURCE_DIR "/data/com.kivo.mediasiftd.conf"));
  EXPECT_EQ(read_file(root + "/lib/sysusers.d/mediasiftd.conf"), read_file(MS_SOURCE_DIR "/data/mediasiftd.sysusers.conf"));
  std::string unit = read_file(root + "/lib/systemd/system/mediasiftd.service");
  for (const char *line : {"Type=dbus\n", "BusName=com.kivo.mediasiftd\n", "User=mediasiftd\n", "ProtectSystem=strict\n",
                           "ProtectHome=read-only\n", "PrivateTmp=yes\n", "PrivateDevices=yes\n", "NoNewPrivileges=yes\n",
                           "RestrictAddressFamilies=AF_UNIX\n", "MemoryMax="})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  std::string exec_start = std::string("ExecStart=") + MS_INSTALL_PREFIX + "/bin/mediasiftd\n";
  ASSERT_NE(unit.find(exec_start), std::string::npos) << unit;

  // systemd's own check, where systemd is installed. The unit names the
  // program where it will be installed; here it lives in the staging tree.
  if (system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    std::string checked = unit;
    checked.replace(checked.find(exec_start), exec_start.size(), "ExecStart=" + root + "/bin/mediasiftd\n");
    std::string copy = stage.write("mediasiftd.service", checked);
    std::string verify = "systemd-analyze verify '" + copy + "' >'" + stage.path + "/verify.log' 2>&1";
    EXPECT_EQ(system(verify.c_str()), 0) << read_file(stage.path + "/verify.log");
  } else {
    GTEST_LOG_(INFO) << "systemd-analyze not installed: the unit was not verified";
  }

  // The staged service, started by a bus, parses a file with a worker that
  // is its own executable (the build's bindir is not where it runs).
  std::string services = stage.path + "/activation";
  g_mkdir_with_parents(services.c_str(), 0700);
  std::string activation = "[D-BUS Service]\nName=com.kivo.mediasiftd\nExec=" + root + "/bin/mediasiftd\n";
  ASSERT_TRUE(g_file_set_contents((services + "/com.kivo.mediasiftd.service").c_str(), activation.c_str(), -1, nullptr));
  temp_dir files;
  private_bus bus;
  bus.extra_config = "<servicedir>" + services + "</servicedir>";
  ASSERT_TRUE(bus.start({}, false)) << bus.errors();
  connection_ptr client(bus_connect(bus.address));
  std::string playlist = files.write("list.m3u", "#EXTM3U\n/music/a.mp3\n");
  call_result result = call_parse(client.get(), payload_for({playlist}));
  EXPECT_EQ(plain(result.reply), expected_reply({playlist})) << result.error_text << bus.errors();
  std::vector<pid_t> workers = worker_pids(bus.address, 0, root + "/bin/mediasiftd");
  ASSERT_EQ(workers.size(), 1u);
  char executable[4096] = {};
  EXPECT_GT(readlink(("/proc/" + std::to_string(workers[0]) + "/exe").c_str(), executable, sizeof executable - 1), 0);
  EXPECT_EQ(executable, root + "/bin/mediasiftd");
  client.reset();
  bus.stop();
  EXPECT_EQ(sanitizer_reports(bus.errors()), std::vector<std::string>{}) << bus.errors();
}

// The system-bus policy parses and shuts out callers outside the group
// "mediasift": on a bus whose default, like the system bus's, refuses method
// calls, a root caller that is not a member is denied before anything starts.
TEST(Install, SystemPolicyLetsOnlyTheGroupCall) {
  private_bus bus;
  bus.extra_config = "<policy context=\"default\"><deny send_type=\"method_call\" "
                     "send_destination=\"com.kivo.mediasiftd\"/></policy><include>" MS_SOURCE_DIR
                     "/data/com.kivo.mediasiftd.conf</include>";
  ASSERT_TRUE(bus.start()) << bus.errors();
  connection_ptr client(bus_connect(bus.address));
  ASSERT_NE(client, nullptr);
  call_result result = call_parse(client.get(), "{\"files\":[]}");
  EXPECT_EQ(result.error_name, "org.freedesktop.DBus.Error.AccessDenied") << result.reply << result.error_text;
}

} // namespace

// `cmake --install` puts the bus files where dbus-daemon looks, and they work.
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>

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
            "[D-BUS Service]\nName=com.kivo.mediasiftd\n" + exec + "User=mediasiftd\n");

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

#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

const char *const service_bus_name = "com.kivo.mediasiftd";

namespace {

void manager_call(GDBusConnection *, const char *, const char *, const char *, const char *method,
                  GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
  const char *payload = nullptr;
  g_variant_get(parameters, "(&s)", &payload);
  guint32 serial = g_dbus_message_get_serial(g_dbus_method_invocation_get_message(invocation));
  static_cast<activity_manager *>(data)->calls.push_back({method, payload, serial});
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "{\"returnValue\":true}"));
}

} // namespace

bool private_bus::start(const std::vector<std::pair<std::string, std::string>> &environment, bool activation) {
  int error_fd = open((dir.path + "/bus.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bus_daemon daemon;
  std::string error;
  bool started = bus_daemon_start(&daemon, dir.path, activation ? MS_BINARY : "", extra_config, environment,
                                  error_fd, &error);
  close(error_fd);
  pid = daemon.pid;
  address = daemon.address;
  if (!started)
    ADD_FAILURE() << error << ": " << errors();
  return started;
}

void private_bus::stop() {
  bus_daemon daemon{dir.path, address, pid};
  bus_daemon_stop(&daemon, MS_BINARY);
  pid = -1;
}

GDBusConnection *bus_connect(const std::string &address) {
  std::string error;
  GDBusConnection *connection = bus_open(address, &error);
  if (connection == nullptr)
    ADD_FAILURE() << error;
  return connection;
}

void connection_closer::operator()(GDBusConnection *connection) const { bus_close(connection); }

void call_async(GDBusConnection *connection, const char *destination, const char *method, const std::string &payload,
                call_result *out, int timeout_ms) {
  bus_call_async(connection, destination, destination, method, g_variant_new("(s)", payload.c_str()), out, timeout_ms);
}

call_result call_sync(GDBusConnection *connection, const char *destination, const char *method,
                      const std::string &payload, int timeout_ms) {
  call_result out;
  call_async(connection, destination, method, payload, &out, timeout_ms);
  run_until([&] { return out.done; }, timeout_ms + 5000);
  return out;
}

call_result call_parse(GDBusConnection *connection, const std::string &payload, int timeout_ms) {
  return call_sync(connection, service_bus_name, "parse", payload, timeout_ms);
}

pid_t start_service(const std::string &address, connection_ptr *client) {
  client->reset(bus_connect(address));
  if (*client == nullptr || !call_parse(client->get(), "{\"files\":[]}").done)
    return 0;
  return bus_owner_pid(client->get(), service_bus_name);
}

guint serve(GDBusConnection *connection, const char *interface_xml, GDBusInterfaceMethodCallFunc handler, void *data,
            const char *name, guint32 flags) {
  std::string xml = "<node>" + std::string(interface_xml) + "</node>";
  GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
  const GDBusInterfaceVTable vtable = {handler, nullptr, nullptr, {nullptr}}; // copied by the registration
  guint registration =
      g_dbus_connection_register_object(connection, "/", info->interfaces[0], &vtable, data, nullptr, nullptr);
  g_dbus_node_info_unref(info);
  GVariant *answer = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", name, flags), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (answer == nullptr)
    ADD_FAILURE() << "could not request " << name;
  else
    g_variant_unref(answer);
  return registration;
}

std::vector<std::string> sanitizer_reports(const std::string &text) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "SUMMARY: UndefinedBehaviorSanitizer"}) {
      if (line.find(mark) != std::string::npos) {
        found.push_back(line);
        break;
      }
    }
  }
  return found;
}

std::string plain(const std::string &text) {
  json_ptr value = parse_json(text);
  return value != nullptr ? json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN) : "(not JSON) " + text;
}

std::string expected_entry(const std::string &path, const char *unopened) {
  json_ptr entry(json_object_new_object());
  add_field(entry.get(), "path", path.c_str());
  // Only a file the worker opened and parsed has its size and time.
  json_ptr record = record_of(path);
  struct stat info {};
  bool opened = record != nullptr && stat(path.c_str(), &info) == 0;
  add_field(entry.get(), "size", opened ? static_cast<double>(info.st_size) : 0.0);
  add_field(entry.get(), "modified", opened ? static_cast<double>(info.st_mtime) : 0.0);
  json_object_object_add(entry.get(), "data",
                         record != nullptr ? record.release()
                                           : json_tokener_parse(unopened != nullptr ? unopened
                                                                                    : refused_record_of(path).c_str()));
  return json_object_to_json_string_ext(entry.get(), JSON_C_TO_STRING_PLAIN);
}

std::string expected_reply(const std::vector<std::string> &paths) {
  std::string out = "{\"returnValue\":true,\"files\":[";
  for (size_t i = 0; i < paths.size(); ++i)
    out += (i > 0 ? "," : "") + expected_entry(paths[i]);
  return out + "]}";
}

std::string expected_association(int activity_id, int pid) {
  return "{\"activityId\":" + std::to_string(activity_id) +
         ",\"name\":\"com.kivo.dirwatchd\",\"ids\":[\"serviceId:com.kivo.dirwatchd\",\"serviceId:com.kivo.dirwatchd.js\","
         "\"serviceId:com.kivo.mediasiftd\"],\"subscribe\":true,\"pid\":" +
         std::to_string(pid) + "}";
}

void own_bus_test::SetUp() {
  ASSERT_TRUE(bus.start({}, false));
  g_setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), TRUE);
  g_unsetenv("DBUS_STARTER_ADDRESS");
  client.reset(bus_connect(bus.address));
  ASSERT_NE(client, nullptr);
}

void running_service::start(const std::vector<std::pair<std::string, std::string>> &environment) {
  ASSERT_TRUE(bus.start(environment));
  service = start_service(bus.address, &client);
  ASSERT_GT(service, 0);
}

void running_service::TearDown() {
  stop(); // the leak checker runs as the service ends
  EXPECT_EQ(sanitizer_reports(bus.errors()), std::vector<std::string>{}) << bus.errors().substr(0, 4000);
}

activity_manager::activity_manager(const std::string &address) : connection(bus_connect(address)) {
  const char *string_method = "'><arg type='s' direction='in'/><arg type='s' direction='out'/></method>";
  std::string xml = "<interface name='com.kivo.taskherd'>";
  for (const char *method : {"join", "mapProcess", "cancel"})
    xml += std::string("<method name='") + method + string_method;
  if (connection != nullptr)
    registration = serve(connection.get(), (xml + "</interface>").c_str(), manager_call, this, "com.kivo.taskherd", 4);
}

activity_manager::~activity_manager() {
  if (registration != 0)
    g_dbus_connection_unregister_object(connection.get(), registration);
}

std::vector<std::string> activity_manager::methods() const {
  std::vector<std::string> names;
  for (const call &c : calls) {
    json_ptr notice = c.method == "cancel" ? parse_json(c.payload) : nullptr;
    const char *method = notice != nullptr ? get_string_field(notice.get(), "method") : nullptr;
    names.push_back(c.method != "cancel" ? c.method : "cancel " + std::string(method != nullptr ? method : "?"));
  }
  return names;
}

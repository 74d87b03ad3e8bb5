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

GDBusConnection *connect_to(const std::string &address, GError **failure) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, failure);
}

void call_finished(GObject *source, GAsyncResult *result, gpointer data) {
  auto *out = static_cast<call_result *>(data);
  GError *failure = nullptr;
  GVariant *value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure);
  if (value != nullptr) {
    const char *text = nullptr;
    g_variant_get(value, "(&s)", &text);
    out->reply = text;
    g_variant_unref(value);
  } else {
    g_autofree char *remote = g_dbus_error_get_remote_error(failure);
    out->error_name = remote != nullptr ? remote : "local";
    out->error_text = failure->message;
    g_error_free(failure);
  }
  out->done = true;
}

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
  g_mkdir_with_parents((dir.path + "/services").c_str(), 0700);
  g_mkdir_with_parents((dir.path + "/sockets").c_str(), 0700);
  dir.write("bus.conf", "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                        "<busconfig><type>session</type><keep_umask/><listen>unix:dir=" +
                            dir.path + "/sockets</listen><auth>EXTERNAL</auth><servicedir>" + dir.path +
                            "/services</servicedir><policy context=\"default\">"
                            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                            "<allow own=\"*\"/></policy>" +
                            extra_config + "</busconfig>\n");
  if (activation)
    dir.write("services/com.kivo.mediasiftd.service",
              std::string("[D-BUS Service]\nName=com.kivo.mediasiftd\nExec=") + MS_BINARY + "\n");

  char **envp = g_get_environ();
  // The activated service must not mistake the test's own bus for its own.
  envp = g_environ_unsetenv(envp, "DBUS_SESSION_BUS_ADDRESS");
  envp = g_environ_unsetenv(envp, "DBUS_STARTER_ADDRESS");
  if (g_environ_getenv(envp, "QUIT_DELAY") == nullptr)
    envp = g_environ_setenv(envp, "QUIT_DELAY", "0", TRUE);
  for (const auto &[key, value] : environment)
    envp = g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);

  int error_fd = open((dir.path + "/bus.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::string config_arg = "--config-file=" + dir.path + "/bus.conf";
  const char *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--print-address", nullptr};
  int out_fd = -1;
  GError *failure = nullptr;
  gboolean spawned = g_spawn_async_with_pipes_and_fds(
      nullptr, argv, envp, static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), nullptr,
      nullptr, -1, -1, error_fd, nullptr, nullptr, 0, &pid, nullptr, &out_fd, nullptr, &failure);
  g_strfreev(envp);
  close(error_fd);
  if (!spawned) {
    ADD_FAILURE() << "dbus-daemon: " << failure->message;
    g_error_free(failure);
    pid = -1;
    return false;
  }
  char c = 0;
  pollfd waiting{out_fd, POLLIN, 0};
  while (poll(&waiting, 1, 10000) > 0 && read(out_fd, &c, 1) == 1 && c != '\n')
    address += c;
  close(out_fd);
  if (address.empty())
    ADD_FAILURE() << "dbus-daemon gave no address: " << errors();
  return !address.empty();
}

void private_bus::stop() {
  if (pid <= 0)
    return;
  int status = 0;
  // The daemon may be gone already (a test that kills it), so no failure here.
  if (waitpid(pid, &status, WNOHANG) != pid) {
    if (GDBusConnection *connection = connect_to(address, nullptr)) {
      pid_t service = name_owner_pid(connection, service_bus_name);
      connection_closer()(connection);
      if (service > 0) {
        // Its workers end once it closes their input; waiting for them too
        // puts everything they report in errors().
        std::vector<pid_t> workers = worker_pids(address);
        kill(service, SIGTERM);
        wait_process_gone(service, 20000);
        for (pid_t worker : workers)
          wait_process_gone(worker, 20000);
      }
    }
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

GDBusConnection *bus_connect(const std::string &address) {
  GError *failure = nullptr;
  GDBusConnection *connection = connect_to(address, &failure);
  if (connection == nullptr) {
    ADD_FAILURE() << "connect " << address << ": " << failure->message;
    g_error_free(failure);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

void connection_closer::operator()(GDBusConnection *connection) const {
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

void call_async(GDBusConnection *connection, const char *destination, const char *interface, const char *method,
                GVariant *parameters, call_result *out, int timeout_ms) {
  g_dbus_connection_call(connection, destination, "/", interface, method, parameters, G_VARIANT_TYPE("(s)"),
                         G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, call_finished, out);
}

void call_async(GDBusConnection *connection, const char *destination, const char *method, const std::string &payload,
                call_result *out, int timeout_ms) {
  call_async(connection, destination, destination, method, g_variant_new("(s)", payload.c_str()), out, timeout_ms);
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
  return name_owner_pid(client->get(), service_bus_name);
}

pid_t name_owner_pid(GDBusConnection *connection, const char *name) {
  GVariant *answer = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
      nullptr, nullptr);
  if (answer == nullptr)
    return 0;
  guint32 owner = 0;
  g_variant_get(answer, "(u)", &owner);
  g_variant_unref(answer);
  return static_cast<pid_t>(owner);
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

char process_state(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')'); // the state follows the name in parentheses
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

bool process_running(pid_t pid) {
  char state = process_state(pid);
  return state != '?' && state != 'Z' && state != 'X';
}

bool wait_process_gone(pid_t pid, int timeout_ms) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (process_running(pid)) {
    if (g_get_monotonic_time() >= deadline)
      return false;
    g_usleep(10000);
  }
  return true;
}

std::vector<pid_t> worker_pids(const std::string &address, pid_t above, const std::string &program) {
  using namespace std::string_literals;
  std::vector<pid_t> workers;
  GDir *proc = g_dir_open("/proc", 0, nullptr);
  while (const char *entry = proc != nullptr ? g_dir_read_name(proc) : nullptr) {
    char *end = nullptr;
    long id = strtol(entry, &end, 10);
    std::string base = "/proc/"s + entry;
    if (*end != '\0' || id <= above || read_file(base + "/cmdline") != program + "\0-demon\0"s ||
        !process_running(static_cast<pid_t>(id)))
      continue;
    std::string environment = "\0"s + read_file(base + "/environ");
    if (environment.find("\0DBUS_STARTER_ADDRESS="s + address + '\0') != std::string::npos ||
        environment.find("\0DBUS_SESSION_BUS_ADDRESS="s + address + '\0') != std::string::npos)
      workers.push_back(static_cast<pid_t>(id));
  }
  if (proc != nullptr)
    g_dir_close(proc);
  return workers;
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

std::string payload_for(const std::vector<std::string> &paths, const std::string &extra) {
  json_ptr files(json_object_new_array());
  for (const std::string &p : paths)
    json_object_array_add(files.get(), json_object_new_string(p.c_str()));
  return std::string("{\"files\":") + json_object_to_json_string_ext(files.get(), JSON_C_TO_STRING_PLAIN) + extra +
         "}";
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

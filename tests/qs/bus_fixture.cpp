#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

const char *const service_bus_name = "com.kivo.mediasiftd";

namespace {

const char *const bus_config = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=@SOCKET_DIR@</listen>
  <auth>EXTERNAL</auth>
  <servicedir>@SERVICE_DIR@</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

gboolean wake(gpointer) { return G_SOURCE_CONTINUE; }

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
    char *remote = g_dbus_error_get_remote_error(failure);
    out->error_name = remote != nullptr ? remote : "local";
    g_free(remote);
    out->error_text = failure->message;
    g_error_free(failure);
  }
  out->done = true;
}

const char *const manager_xml = "<node><interface name='com.kivo.taskherd'>"
                                "<method name='join'><arg type='s' direction='in'/><arg type='s' direction='out'/></method>"
                                "<method name='mapProcess'><arg type='s' direction='in'/><arg type='s' direction='out'/></method>"
                                "<method name='cancel'><arg type='s' direction='in'/><arg type='s' direction='out'/></method>"
                                "</interface></node>";

void manager_call(GDBusConnection *, const char *, const char *, const char *, const char *method,
                  GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
  auto *manager = static_cast<activity_manager *>(data);
  const char *payload = nullptr;
  g_variant_get(parameters, "(&s)", &payload);
  guint32 serial = g_dbus_message_get_serial(g_dbus_method_invocation_get_message(invocation));
  manager->calls.push_back({method, payload, serial});
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "{\"returnValue\":true}"));
}

const GDBusInterfaceVTable manager_vtable = {manager_call, nullptr, nullptr, {nullptr}};

} // namespace

bool run_until(const std::function<bool()> &done, int timeout_ms) {
  guint ticker = g_timeout_add(10, wake, nullptr);
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (!done() && g_get_monotonic_time() < deadline)
    g_main_context_iteration(nullptr, TRUE);
  g_source_remove(ticker);
  return done();
}

private_bus::~private_bus() { stop(); }

bool private_bus::start(const std::vector<std::pair<std::string, std::string>> &environment, bool activation) {
  std::string services = dir.path + "/services";
  std::string sockets = dir.path + "/sockets";
  g_mkdir_with_parents(services.c_str(), 0700);
  g_mkdir_with_parents(sockets.c_str(), 0700);
  std::string config = replace_all(replace_all(bus_config, "@SOCKET_DIR@", sockets), "@SERVICE_DIR@", services);
  config = replace_all(config, "</busconfig>", extra_config + "</busconfig>");
  dir.write("bus.conf", config);
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

  std::string error_path = dir.path + "/bus.stderr";
  int error_fd = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
  std::string line;
  char c = 0;
  pollfd waiting{out_fd, POLLIN, 0};
  while (poll(&waiting, 1, 10000) > 0 && read(out_fd, &c, 1) == 1 && c != '\n')
    line += c;
  close(out_fd);
  address = line;
  if (address.empty())
    ADD_FAILURE() << "dbus-daemon gave no address: " << errors();
  return !address.empty();
}

void private_bus::stop() {
  if (pid <= 0)
    return;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == pid) {
    pid = -1;
    return;
  }
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (connection != nullptr) {
    pid_t service = name_owner_pid(connection, service_bus_name);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    if (service > 0) {
      // Its workers end once it closes their input; wait for them too, so
      // that everything they report is in errors().
      std::vector<pid_t> workers = worker_pids(address);
      kill(service, SIGTERM);
      wait_process_gone(service, 20000);
      for (pid_t worker : workers)
        wait_process_gone(worker, 20000);
    }
  }
  kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
  pid = -1;
}

std::string private_bus::errors() const { return read_file(dir.path + "/bus.stderr"); }

GDBusConnection *bus_connect(const std::string &address) {
  GError *failure = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &failure);
  if (connection == nullptr) {
    ADD_FAILURE() << "connect " << address << ": " << failure->message;
    g_error_free(failure);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

void call_async(GDBusConnection *connection, const char *destination, const char *method, const std::string &payload,
                call_result *out, int timeout_ms) {
  g_dbus_connection_call(connection, destination, "/", destination, method, g_variant_new("(s)", payload.c_str()),
                         G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, call_finished, out);
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

bool process_running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text))
    return false;
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
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

namespace {

// The NUL-separated fields of a /proc file.
std::vector<std::string> proc_fields(const std::string &path) {
  std::string all = read_file(path);
  std::vector<std::string> fields;
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find('\0', at);
    if (end == std::string::npos)
      end = all.size();
    fields.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return fields;
}

} // namespace

std::vector<pid_t> worker_pids(const std::string &address) {
  std::vector<pid_t> workers;
  GDir *proc = g_dir_open("/proc", 0, nullptr);
  if (proc == nullptr)
    return workers;
  while (const char *entry = g_dir_read_name(proc)) {
    char *end = nullptr;
    long id = strtol(entry, &end, 10);
    if (*end != '\0' || id <= 0 || !process_running(static_cast<pid_t>(id)))
      continue;
    std::string base = std::string("/proc/") + entry;
    std::vector<std::string> argv = proc_fields(base + "/cmdline");
    if (argv.size() != 2 || argv[0] != MS_BINARY || argv[1] != "-demon")
      continue;
    for (const std::string &variable : proc_fields(base + "/environ")) {
      if (variable == "DBUS_STARTER_ADDRESS=" + address || variable == "DBUS_SESSION_BUS_ADDRESS=" + address) {
        workers.push_back(static_cast<pid_t>(id));
        break;
      }
    }
  }
  g_dir_close(proc);
  return workers;
}

std::vector<std::string> sanitizer_reports(const std::string &text) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("ERROR: AddressSanitizer") != std::string::npos ||
        line.find("ERROR: LeakSanitizer") != std::string::npos || line.find("runtime error:") != std::string::npos ||
        line.find("SUMMARY: UndefinedBehaviorSanitizer") != std::string::npos)
      found.push_back(line);
  }
  return found;
}

activity_manager::activity_manager(const std::string &address) {
  connection = bus_connect(address);
  if (connection == nullptr)
    return;
  GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(manager_xml, nullptr);
  registration = g_dbus_connection_register_object(connection, "/", info->interfaces[0], &manager_vtable, this,
                                                   nullptr, nullptr);
  g_dbus_node_info_unref(info);
  GVariant *answer = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", "com.kivo.taskherd", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      nullptr);
  if (answer == nullptr)
    ADD_FAILURE() << "activity manager could not take its name";
  else
    g_variant_unref(answer);
}

activity_manager::~activity_manager() {
  if (connection == nullptr)
    return;
  if (registration != 0)
    g_dbus_connection_unregister_object(connection, registration);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

std::string activity_manager::cancelled_method(const call &notice) const {
  json_object *parsed = json_tokener_parse(notice.payload.c_str());
  json_object *serial = nullptr;
  std::string method;
  if (parsed != nullptr && json_object_object_get_ex(parsed, "serial", &serial)) {
    for (const call &c : calls)
      if (c.method != "cancel" && c.serial == static_cast<guint32>(json_object_get_int64(serial)))
        method = c.method;
  }
  json_object_put(parsed);
  return method;
}

std::vector<std::string> activity_manager::methods() const {
  std::vector<std::string> names;
  for (const call &c : calls)
    names.push_back(c.method == "cancel" ? "cancel " + cancelled_method(c) : c.method);
  return names;
}

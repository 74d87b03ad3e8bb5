#include "service_measures.h"

#include "process_stats.h"

#include "base/json_helpers.h"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <json-c/json.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

const char *const bus_config = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=%s</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// A dbus-daemon of our own in a temporary folder, whose activation folder
// starts `binary` as "com.kivo.mediasiftd", never quitting by idleness.
struct private_bus {
  std::string dir;
  std::string address;
  GPid pid = 0;
  GDBusConnection *connection = nullptr;

  bool start(const std::string &binary, std::string *error) {
    g_autofree char *made = g_dir_make_tmp("mediasift-bench-bus-XXXXXX", nullptr);
    if (made == nullptr) {
      *error = "no temporary folder for the bus";
      return false;
    }
    dir = made;
    std::string services = dir + "/services";
    std::string sockets = dir + "/sockets";
    g_mkdir(services.c_str(), 0700);
    g_mkdir(sockets.c_str(), 0700);
    g_autofree char *config = g_strdup_printf(bus_config, sockets.c_str(), services.c_str());
    std::string config_path = dir + "/bus.conf";
    std::string activation = "[D-BUS Service]\nName=com.kivo.mediasiftd\nExec=" + binary + "\n";
    if (!g_file_set_contents(config_path.c_str(), config, -1, nullptr) ||
        !g_file_set_contents((services + "/com.kivo.mediasiftd.service").c_str(), activation.c_str(), -1, nullptr)) {
      *error = "can't write the bus configuration";
      return false;
    }

    char **envp = g_get_environ();
    envp = g_environ_unsetenv(envp, "DBUS_SESSION_BUS_ADDRESS");
    envp = g_environ_unsetenv(envp, "DBUS_STARTER_ADDRESS");
    envp = g_environ_setenv(envp, "QUIT_DELAY", "0", TRUE);
    std::string config_arg = "--config-file=" + config_path;
    const char *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--print-address", nullptr};
    int out_fd = -1;
    GError *failure = nullptr;
    // The daemon's standard error goes to the service it starts too; the
    // service logs every unreadable file, which would drown the table.
    gboolean spawned = g_spawn_async_with_pipes(
        nullptr, const_cast<char **>(argv), envp,
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
        nullptr, nullptr, &pid, nullptr, &out_fd, nullptr, &failure);
    g_strfreev(envp);
    if (!spawned) {
      *error = std::string("dbus-daemon: ") + failure->message;
      g_error_free(failure);
      pid = 0;
      return false;
    }
    char c = 0;
    pollfd waiting{out_fd, POLLIN, 0};
    while (poll(&waiting, 1, 10000) > 0 && read(out_fd, &c, 1) == 1 && c != '\n')
      address += c;
    close(out_fd);
    if (address.empty()) {
      *error = "dbus-daemon gave no address";
      return false;
    }
    connection = connect(error);
    return connection != nullptr;
  }

  GDBusConnection *connect(std::string *error) const {
    GError *failure = nullptr;
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure);
    if (c == nullptr) {
      *error = failure->message;
      g_error_free(failure);
      return nullptr;
    }
    g_dbus_connection_set_exit_on_close(c, FALSE);
    return c;
  }

  pid_t owner_pid() const {
    GVariant *answer = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", service_name), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (answer == nullptr)
      return 0;
    guint32 owner = 0;
    g_variant_get(answer, "(u)", &owner);
    g_variant_unref(answer);
    return static_cast<pid_t>(owner);
  }

  // Ends the service (its worker ends with it), then the daemon.
  void stop() {
    if (connection != nullptr) {
      pid_t service = owner_pid();
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_clear_object(&connection);
      if (service > 0) {
        kill(service, SIGTERM);
        for (int i = 0; i < 500 && kill(service, 0) == 0; ++i)
          g_usleep(10000);
      }
    }
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      g_spawn_close_pid(pid);
      pid = 0;
    }
    if (!dir.empty()) {
      for (const char *leftover : {"/services/com.kivo.mediasiftd.service", "/bus.conf"})
        g_remove((dir + leftover).c_str());
      for (const char *folder : {"/services", "/sockets", ""})
        g_rmdir((dir + folder).c_str());
      dir.clear();
    }
  }
};

struct call_state {
  bool done = false;
  std::string reply;
  std::string error;
};

void call_finished(GObject *source, GAsyncResult *result, gpointer data) {
  auto *state = static_cast<call_state *>(data);
  GError *failure = nullptr;
  GVariant *value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure);
  if (value != nullptr) {
    const char *text = nullptr;
    g_variant_get(value, "(&s)", &text);
    state->reply = text;
    g_variant_unref(value);
  } else {
    state->error = failure->message;
    g_error_free(failure);
  }
  state->done = true;
}

void call_parse(GDBusConnection *connection, const std::string &payload, call_state *state) {
  // No time-out: a large batch on a slow device may take minutes.
  g_dbus_connection_call(connection, service_name, "/", service_name, "parse", g_variant_new("(s)", payload.c_str()),
                         G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, call_finished, state);
}

void wait_all(const std::vector<call_state> &states) {
  auto all_done = [&] {
    for (const call_state &s : states)
      if (!s.done)
        return false;
    return true;
  };
  while (!all_done())
    g_main_context_iteration(nullptr, TRUE);
}

// The NUL-separated fields of a /proc file.
std::vector<std::string> proc_fields(const std::string &path) {
  g_autofree char *all = nullptr;
  gsize length = 0;
  std::vector<std::string> fields;
  if (!g_file_get_contents(path.c_str(), &all, &length, nullptr))
    return fields;
  for (gsize at = 0; at < length;) {
    std::string field(all + at);
    at += field.size() + 1;
    fields.push_back(field);
  }
  return fields;
}

// The worker the service spawned. It is not the service's child (the spawn
// hands it to init), so it is found by its command line and by the bus
// address it inherited from the service.
pid_t worker_on_bus(const std::string &binary, const std::string &address) {
  g_autoptr(GDir) proc = g_dir_open("/proc", 0, nullptr);
  if (proc == nullptr)
    return 0;
  while (const char *entry = g_dir_read_name(proc)) {
    char *end = nullptr;
    long id = strtol(entry, &end, 10);
    if (*end != '\0' || id <= 0)
      continue;
    std::string base = std::string("/proc/") + entry;
    std::vector<std::string> argv = proc_fields(base + "/cmdline");
    if (argv.size() != 2 || argv[0] != binary || argv[1] != "-demon")
      continue;
    for (const std::string &variable : proc_fields(base + "/environ"))
      if (variable == "DBUS_STARTER_ADDRESS=" + address)
        return static_cast<pid_t>(id);
  }
  return 0;
}

} // namespace

std::string parse_payload(const std::vector<std::string> &paths) {
  json_ptr files(json_object_new_array());
  for (const std::string &p : paths)
    json_object_array_add(files.get(), json_object_new_string(p.c_str()));
  json_ptr payload(json_object_new_object());
  json_object_object_add(payload.get(), "files", files.release());
  return json_object_to_json_string_ext(payload.get(), JSON_C_TO_STRING_PLAIN);
}

bool reply_matches(const std::string &reply, const std::vector<std::string> &paths, std::string *error) {
  json_ptr parsed(json_tokener_parse(reply.c_str()));
  json_object *success = nullptr;
  json_object *files = nullptr;
  if (parsed == nullptr || !json_object_object_get_ex(parsed.get(), "returnValue", &success) ||
      !json_object_get_boolean(success) || !json_object_object_get_ex(parsed.get(), "files", &files) ||
      !json_object_is_type(files, json_type_array)) {
    *error = "not a success reply: " + reply.substr(0, 200);
    return false;
  }
  if (json_object_array_length(files) != paths.size()) {
    *error = "reply holds " + std::to_string(json_object_array_length(files)) + " entries for " +
             std::to_string(paths.size()) + " paths";
    return false;
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    json_object *path = nullptr;
    json_object_object_get_ex(json_object_array_get_idx(files, i), "path", &path);
    if (path == nullptr || paths[i] != json_object_get_string(path)) {
      *error = "entry " + std::to_string(i) + " is not " + paths[i];
      return false;
    }
  }
  return true;
}

bool measure_service(const std::string &binary, const std::vector<std::string> &paths, int callers,
                     service_run *out, std::string *error) {
  private_bus bus;
  bool ok = bus.start(binary, error);
  std::vector<GDBusConnection *> connections;
  if (ok) {
    // The first call starts the service; it is not timed.
    std::vector<call_state> start(1);
    call_parse(bus.connection, "{\"files\":[]}", &start[0]);
    wait_all(start);
    ok = start[0].error.empty();
    if (!ok)
      *error = "the service did not start: " + start[0].error;
  }

  if (ok) {
    std::string payload = parse_payload(paths);
    std::vector<call_state> one(1);
    pid_t service = bus.owner_pid();
    pid_t worker = worker_on_bus(binary, bus.address);
    double service_cpu = cpu_microseconds(service);
    double worker_cpu = cpu_microseconds(worker);
    double begin = now_seconds();
    call_parse(bus.connection, payload, &one[0]);
    wait_all(one);
    out->one_call_seconds = now_seconds() - begin;
    // The worker counts only if it is the same one throughout.
    if (service_cpu >= 0)
      out->service_cpu_us = cpu_microseconds(service) - service_cpu;
    if (worker_cpu >= 0 && worker_on_bus(binary, bus.address) == worker)
      out->worker_cpu_us = cpu_microseconds(worker) - worker_cpu;
    ok = one[0].error.empty() && reply_matches(one[0].reply, paths, error);
    if (!one[0].error.empty())
      *error = "one call of all files: " + one[0].error;
    out->entries = ok ? paths.size() : 0;
  }

  if (ok) {
    // Each caller on a connection of its own, with its own share of files.
    out->callers = callers;
    std::vector<std::vector<std::string>> shares(static_cast<size_t>(callers));
    for (size_t i = 0; i < paths.size(); ++i)
      shares[i * static_cast<size_t>(callers) / paths.size()].push_back(paths[i]);
    std::vector<std::string> payloads;
    for (int c = 0; c < callers && ok; ++c) {
      GDBusConnection *connection = bus.connect(error);
      ok = connection != nullptr;
      if (ok)
        connections.push_back(connection);
      payloads.push_back(parse_payload(shares[static_cast<size_t>(c)]));
    }
    if (ok) {
      std::vector<call_state> states(static_cast<size_t>(callers));
      double begin = now_seconds();
      for (size_t c = 0; c < states.size(); ++c)
        call_parse(connections[c], payloads[c], &states[c]);
      wait_all(states);
      out->concurrent_seconds = now_seconds() - begin;
      for (size_t c = 0; c < states.size() && ok; ++c) {
        ok = states[c].error.empty() && reply_matches(states[c].reply, shares[c], error);
        if (!states[c].error.empty())
          *error = "caller " + std::to_string(c) + ": " + states[c].error;
        if (ok)
          out->entries += shares[c].size();
      }
    }
  }

  if (ok) {
    pid_t service = bus.owner_pid();
    out->service_peak_rss_kib = status_kib(service, "VmHWM");
    pid_t worker = worker_on_bus(binary, bus.address);
    if (worker > 0)
      out->worker_peak_rss_kib = status_kib(worker, "VmHWM");
  }
  for (GDBusConnection *c : connections) {
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
  }
  bus.stop();
  return ok;
}

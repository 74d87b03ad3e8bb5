#include "testing/harness.h"

#include "base/json_helpers.h"
#include "private_bus_conf.h"

#include <json-c/json.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

std::string contents(const std::string &path) {
  g_autofree char *all = nullptr;
  gsize length = 0;
  return g_file_get_contents(path.c_str(), &all, &length, nullptr) ? std::string(all, length) : std::string();
}

bool write_file(const std::string &path, const std::string &text, std::string *error) {
  if (g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), nullptr))
    return true;
  *error = "can't write " + path;
  return false;
}

// The descriptor a child's standard error goes to: `fd`, or /dev/null.
int error_target(int fd) { return fd >= 0 ? fd : open("/dev/null", O_WRONLY | O_CLOEXEC); }

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

} // namespace

bool worker_pipe_start(worker_pipe *worker, const std::string &binary, int error_fd, std::string *error) {
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    *error = "no pipe";
    return false;
  }
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    *error = "no pipe";
    return false;
  }
  int err = error_target(error_fd);
  worker->pid = fork();
  if (worker->pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err, 2);
    execl(binary.c_str(), binary.c_str(), "-demon", static_cast<char *>(nullptr));
    _exit(127);
  }
  if (err != error_fd)
    close(err);
  close(in_pipe[0]);
  close(out_pipe[1]);
  worker->in_fd = in_pipe[1];
  worker->out_fd = out_pipe[0];
  signal(SIGPIPE, SIG_IGN);
  if (worker->pid < 0) {
    *error = "fork failed";
    worker_pipe_end(worker);
    return false;
  }
  return true;
}

bool worker_pipe_send(const worker_pipe &worker, const std::string &bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = write(worker.in_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool worker_pipe_read_line(worker_pipe *worker, std::string *line, int timeout_ms) {
  using namespace std::chrono;
  auto deadline = steady_clock::now() + milliseconds(timeout_ms);
  size_t end;
  while ((end = worker->pending.find('\n')) == std::string::npos) {
    int left = static_cast<int>(duration_cast<milliseconds>(deadline - steady_clock::now()).count());
    pollfd waiting{worker->out_fd, POLLIN, 0};
    char chunk[65536];
    ssize_t n = 0;
    if (left <= 0 || poll(&waiting, 1, left) <= 0)
      return false;
    if ((n = read(worker->out_fd, chunk, sizeof chunk)) < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    worker->pending.append(chunk, static_cast<size_t>(n));
  }
  line->assign(worker->pending, 0, end);
  worker->pending.erase(0, end + 1);
  return true;
}

void worker_pipe_close_input(worker_pipe *worker) {
  if (worker->in_fd >= 0)
    close(worker->in_fd);
  worker->in_fd = -1;
}

int worker_pipe_wait(worker_pipe *worker, int timeout_ms) {
  int status = wait_child(worker->pid, timeout_ms);
  if (status != -1)
    worker->pid = -1;
  return status;
}

void worker_pipe_end(worker_pipe *worker) {
  if (worker->pid > 0) {
    kill(worker->pid, SIGKILL);
    waitpid(worker->pid, nullptr, 0);
    worker->pid = -1;
  }
  for (int *fd : {&worker->in_fd, &worker->out_fd})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
}

bool bus_daemon_start(bus_daemon *bus, const std::string &dir, const std::string &service_binary,
                      const std::string &extra_config,
                      const std::vector<std::pair<std::string, std::string>> &environment, int error_fd,
                      std::string *error) {
  bus->dir = dir;
  g_mkdir_with_parents((dir + "/services").c_str(), 0700);
  g_mkdir_with_parents((dir + "/sockets").c_str(), 0700);
  std::string config = private_bus_config_template;
  for (const auto &[mark, value] : {std::pair<std::string, std::string>{"@SOCKET_DIR@", dir + "/sockets"},
                                    {"@SERVICE_DIR@", dir + "/services"}, {"@EXTRA@", extra_config}})
    config.replace(config.find(mark), mark.size(), value);
  if (!write_file(dir + "/bus.conf", config, error) ||
      (!service_binary.empty() &&
       !write_file(dir + "/services/com.kivo.mediasiftd.service",
                   "[D-BUS Service]\nName=com.kivo.mediasiftd\nExec=" + service_binary + "\n", error)))
    return false;

  char **envp = g_get_environ();
  // The started service must not mistake the caller's own bus for its own.
  envp = g_environ_unsetenv(envp, "DBUS_SESSION_BUS_ADDRESS");
  envp = g_environ_unsetenv(envp, "DBUS_STARTER_ADDRESS");
  if (g_environ_getenv(envp, "QUIT_DELAY") == nullptr)
    envp = g_environ_setenv(envp, "QUIT_DELAY", "0", TRUE);
  for (const auto &[key, value] : environment)
    envp = g_environ_setenv(envp, key.c_str(), value.c_str(), TRUE);

  int err = error_target(error_fd);
  std::string config_arg = "--config-file=" + dir + "/bus.conf";
  const char *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--print-address", nullptr};
  int out_fd = -1;
  GError *failure = nullptr;
  gboolean spawned = g_spawn_async_with_pipes_and_fds(
      nullptr, argv, envp, static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), nullptr,
      nullptr, -1, -1, err, nullptr, nullptr, 0, &bus->pid, nullptr, &out_fd, nullptr, &failure);
  g_strfreev(envp);
  if (err != error_fd)
    close(err);
  if (!spawned) {
    *error = std::string("dbus-daemon: ") + failure->message;
    g_error_free(failure);
    bus->pid = -1;
    return false;
  }
  char c = 0;
  pollfd waiting{out_fd, POLLIN, 0};
  while (poll(&waiting, 1, 10000) > 0 && read(out_fd, &c, 1) == 1 && c != '\n')
    bus->address += c;
  close(out_fd);
  if (bus->address.empty())
    *error = "dbus-daemon gave no address";
  return !bus->address.empty();
}

void bus_daemon_stop(bus_daemon *bus, const std::string &service_binary) {
  if (bus->pid <= 0)
    return;
  int status = 0;
  // The daemon may be gone already (killed by a test).
  if (waitpid(bus->pid, &status, WNOHANG) != bus->pid) {
    std::string ignored;
    if (GDBusConnection *connection = bus_open(bus->address, &ignored)) {
      pid_t service = bus_owner_pid(connection, service_name);
      bus_close(connection);
      if (service > 0) {
        // Its workers end once it closes their input; waiting for them too
        // lets everything they report reach the error output.
        std::vector<pid_t> workers = worker_pids(bus->address, 0, service_binary);
        kill(service, SIGTERM);
        wait_process_gone(service, 20000);
        for (pid_t worker : workers)
          wait_process_gone(worker, 20000);
      }
    }
    kill(bus->pid, SIGTERM);
    waitpid(bus->pid, &status, 0);
  }
  bus->pid = -1;
}

GDBusConnection *bus_open(const std::string &address, std::string *error) {
  GError *failure = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &failure);
  if (connection == nullptr) {
    *error = "connect " + address + ": " + failure->message;
    g_error_free(failure);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

void bus_close(GDBusConnection *connection) {
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

pid_t bus_owner_pid(GDBusConnection *connection, const char *name) {
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

void bus_call_async(GDBusConnection *connection, const char *destination, const char *interface, const char *method,
                    GVariant *parameters, call_result *out, int timeout_ms) {
  g_dbus_connection_call(connection, destination, "/", interface, method, parameters, G_VARIANT_TYPE("(s)"),
                         G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, call_finished, out);
}

std::string payload_for(const std::vector<std::string> &paths, const std::string &extra) {
  json_ptr files(json_object_new_array());
  for (const std::string &p : paths)
    json_object_array_add(files.get(), json_object_new_string(p.c_str()));
  return std::string("{\"files\":") + json_object_to_json_string_ext(files.get(), JSON_C_TO_STRING_PLAIN) + extra +
         "}";
}

int wait_child(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return status;
    usleep(10000);
  }
  return -1;
}

char process_state(pid_t pid) {
  std::string stat = contents("/proc/" + std::to_string(pid) + "/stat");
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
  g_autoptr(GDir) proc = g_dir_open("/proc", 0, nullptr);
  while (const char *entry = proc != nullptr ? g_dir_read_name(proc) : nullptr) {
    char *end = nullptr;
    long id = strtol(entry, &end, 10);
    std::string base = "/proc/"s + entry;
    if (*end != '\0' || id <= above || contents(base + "/cmdline") != program + "\0-demon\0"s ||
        !process_running(static_cast<pid_t>(id)))
      continue;
    std::string environment = "\0"s + contents(base + "/environ");
    if (environment.find("\0DBUS_STARTER_ADDRESS="s + address + '\0') != std::string::npos ||
        environment.find("\0DBUS_SESSION_BUS_ADDRESS="s + address + '\0') != std::string::npos)
      workers.push_back(static_cast<pid_t>(id));
  }
  return workers;
}

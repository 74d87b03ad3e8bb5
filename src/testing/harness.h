// Process harness shared by the tests and the benchmark: a worker driven over
// pipes, and a private dbus-daemon that starts the built service on demand.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// A `binary -demon` worker on pipes.
struct worker_pipe {
  pid_t pid = -1;
  int in_fd = -1;
  int out_fd = -1;
  std::string pending; // read past the last line handed out
};

// Starts the worker with its standard error on `error_fd` (/dev/null when -1).
// Ignores SIGPIPE in this process, so that writing to a dead worker fails
// instead of killing the caller.
bool worker_pipe_start(worker_pipe *worker, const std::string &binary, int error_fd, std::string *error);
bool worker_pipe_send(const worker_pipe &worker, const std::string &bytes);
// One answer line (without its line feed); false on end of output or time-out.
bool worker_pipe_read_line(worker_pipe *worker, std::string *line, int timeout_ms);
void worker_pipe_close_input(worker_pipe *worker);
// The raw wait status once the worker ended, -1 when it did not in time.
int worker_pipe_wait(worker_pipe *worker, int timeout_ms);
// Kills the worker if still running, reaps it and closes the pipes.
void worker_pipe_end(worker_pipe *worker);

// A dbus-daemon listening in `dir`/sockets.
struct bus_daemon {
  std::string dir;
  std::string address;
  pid_t pid = -1;
};

// Writes the bus configuration (`extra_config` added to it) in `dir`; when
// `service_binary` is not empty the bus starts it for "com.kivo.mediasiftd".
// The daemon, and the service it starts, get this process's environment
// without its bus addresses, "QUIT_DELAY" "0" unless set, then `environment`;
// their standard error goes to `error_fd` (/dev/null when -1).
bool bus_daemon_start(bus_daemon *bus, const std::string &dir, const std::string &service_binary,
                      const std::string &extra_config,
                      const std::vector<std::pair<std::string, std::string>> &environment, int error_fd,
                      std::string *error);
// Stops a service still owning "com.kivo.mediasiftd" (SIGTERM, then waits for
// it and for the workers of `service_binary` on this bus), then the daemon.
void bus_daemon_stop(bus_daemon *bus, const std::string &service_binary);

// A new private connection to `address`; null with `error` set when none.
GDBusConnection *bus_open(const std::string &address, std::string *error);
void bus_close(GDBusConnection *connection);
pid_t bus_owner_pid(GDBusConnection *connection, const char *name); // 0: no owner

struct call_result {
  bool done = false;
  std::string reply;      // the returned string on success
  std::string error_name; // the D-Bus error name on failure ("local" when not remote)
  std::string error_text;
};
// Calls METHOD on object "/" expecting one string back; `out` (which must
// outlive the call) is filled when the answer arrives.
void bus_call_async(GDBusConnection *connection, const char *destination, const char *interface, const char *method,
                    GVariant *parameters, call_result *out, int timeout_ms);

// {"files":[paths...]EXTRA}
std::string payload_for(const std::vector<std::string> &paths, const std::string &extra = "");

// The raw wait status of child `pid`, -1 when it has not ended in time.
int wait_child(pid_t pid, int timeout_ms);
char process_state(pid_t pid);   // as /proc shows it, '?' when gone
bool process_running(pid_t pid); // false once gone or a zombie
bool wait_process_gone(pid_t pid, int timeout_ms);
// The running `program -demon` workers that inherited the bus address
// `address`, of those with process ids above `above`. The service hands its
// worker to init, so it is found by its command line and environment.
std::vector<pid_t> worker_pids(const std::string &address, pid_t above, const std::string &program);

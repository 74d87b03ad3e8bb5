// A private dbus-daemon per test, a stand-in activity manager on it, and small
// helpers that drive the GLib default main context until something happens.
#pragma once

#include "support/test_support.h"

#include <gio/gio.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

extern const char *const service_bus_name; // "com.kivo.mediasiftd"

// Runs the default main context until `done` is true or `timeout_ms` passed;
// returns `done()`.
bool run_until(const std::function<bool()> &done, int timeout_ms = 10000);

// A dbus-daemon of its own, listening in a temporary folder. Its activation
// folder holds a file that starts the built service for "com.kivo.mediasiftd"
// (unless `activation` is false). An activated service inherits the daemon's
// environment and standard error, so its log lines and any sanitizer report
// end up in errors().
struct private_bus {
  private_bus() = default;
  ~private_bus();
  private_bus(const private_bus &) = delete;
  private_bus &operator=(const private_bus &) = delete;

  bool start(const std::vector<std::pair<std::string, std::string>> &environment = {}, bool activation = true);
  // Stops an activated service that still owns the name (SIGTERM, waits for it
  // to end), then the daemon. Safe to call twice.
  void stop();
  std::string errors() const;

  // Configuration elements added to the daemon's own, set before start().
  std::string extra_config;
  std::string address;
  pid_t pid = -1;
  temp_dir dir;
};

// A new private connection to the bus at `address` (null on failure).
GDBusConnection *bus_connect(const std::string &address);

// Outcome of one (s) -> (s) method call.
struct call_result {
  bool done = false;
  std::string reply;      // the returned string, when the call succeeded
  std::string error_name; // the D-Bus error name, when it failed
  std::string error_text;
};

// Starts a call of METHOD on object "/", interface = destination; `out` is
// filled when the answer arrives (it must outlive the call).
void call_async(GDBusConnection *connection, const char *destination, const char *method, const std::string &payload,
                call_result *out, int timeout_ms = -1);
// The same, waiting for the answer on the default context.
call_result call_sync(GDBusConnection *connection, const char *destination, const char *method,
                      const std::string &payload, int timeout_ms = 30000);
// The "parse" method of the service.
call_result call_parse(GDBusConnection *connection, const std::string &payload, int timeout_ms = 30000);

// The process owning `name` on the bus, or 0.
pid_t name_owner_pid(GDBusConnection *connection, const char *name);
// True once `pid` no longer runs (gone or a zombie).
bool wait_process_gone(pid_t pid, int timeout_ms = 10000);
bool process_running(pid_t pid);
// The running workers of services on the bus at `address`: the spawned
// "-demon" processes that inherited that bus address.
std::vector<pid_t> worker_pids(const std::string &address);
// Lines of `text` that report an AddressSanitizer, LeakSanitizer or
// UndefinedBehaviorSanitizer finding.
std::vector<std::string> sanitizer_reports(const std::string &text);

// A stand-in for the activity manager: owns "com.kivo.taskherd", answers
// every "join" and "mapProcess" with {"returnValue":true} and records each
// call it gets, "cancel" notices included, in arrival order.
struct activity_manager {
  explicit activity_manager(const std::string &address);
  ~activity_manager();
  activity_manager(const activity_manager &) = delete;
  activity_manager &operator=(const activity_manager &) = delete;

  struct call {
    std::string method;
    std::string payload;
    guint32 serial;
  };
  // The method of the call a "cancel" notice names ("" when unknown).
  std::string cancelled_method(const call &notice) const;
  std::vector<std::string> methods() const;
  bool ready() const { return registration != 0; }

  std::vector<call> calls;
  GDBusConnection *connection = nullptr;
  guint registration = 0;
};

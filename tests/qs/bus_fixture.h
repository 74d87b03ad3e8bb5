// A private dbus-daemon per test, a stand-in activity manager on it, and
// helpers that drive the GLib default main context until something happens.
#pragma once

#include "support/test_support.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern const char *const service_bus_name; // "com.kivo.mediasiftd"

// A dbus-daemon listening in a temporary folder. Unless `activation` is false
// the bus starts the built service for "com.kivo.mediasiftd"; the service
// inherits the daemon's environment ("QUIT_DELAY" is "0" unless given) and
// standard error, so its log lines and sanitizer reports land in errors().
struct private_bus {
  private_bus() = default;
  ~private_bus() { stop(); }
  private_bus(const private_bus &) = delete;
  private_bus &operator=(const private_bus &) = delete;

  bool start(const std::vector<std::pair<std::string, std::string>> &environment = {}, bool activation = true);
  // Stops an activated service still owning the name (SIGTERM, then waits for
  // it and its workers), then the daemon. Safe to call twice.
  void stop();
  std::string errors() const { return read_file(dir.path + "/bus.stderr"); }

  std::string extra_config; // configuration elements, set before start()
  std::string address;
  pid_t pid = -1;
  temp_dir dir;
};

// A new private connection to `address` (null, a test failure, when none).
GDBusConnection *bus_connect(const std::string &address);
struct connection_closer {
  void operator()(GDBusConnection *connection) const;
};
using connection_ptr = std::unique_ptr<GDBusConnection, connection_closer>;

// Calls METHOD of INTERFACE `destination` on its object "/" with `payload`,
// expecting one string back; `out` (which must outlive the call) is filled
// when the answer arrives.
void call_async(GDBusConnection *connection, const char *destination, const char *method, const std::string &payload,
                call_result *out, int timeout_ms = -1);
call_result call_sync(GDBusConnection *connection, const char *destination, const char *method,
                      const std::string &payload, int timeout_ms = 30000);
call_result call_parse(GDBusConnection *connection, const std::string &payload, int timeout_ms = 30000);

// Connects a client to `address` and has the bus start the service with an
// empty parse call; the service's pid, 0 when any step fails.
pid_t start_service(const std::string &address, connection_ptr *client);
// Exports on "/" the one interface of `interface_xml`, its calls going to
// `handler` with `data`, and requests `name` with `flags` (a test failure when
// refused); returns the registration.
guint serve(GDBusConnection *connection, const char *interface_xml, GDBusInterfaceMethodCallFunc handler, void *data,
            const char *name, guint32 flags);
// The workers of the built service on bus `address` (see worker_pids).
inline std::vector<pid_t> worker_pids(const std::string &address, pid_t above = 0) {
  return worker_pids(address, above, MS_BINARY);
}
// The lines of `text` that report an ASan, LSan or UBSan finding.
std::vector<std::string> sanitizer_reports(const std::string &text);

// JSON text in json-c's plain form ("(not JSON) ..." when it does not parse).
std::string plain(const std::string &text);
// The reply entry the service must give `path`, from the file and an
// in-process parse; `unopened`, when given, is the "data" of a file that
// can't be opened (else the worker's record of why).
std::string expected_entry(const std::string &path, const char *unopened = nullptr);
std::string expected_reply(const std::vector<std::string> &paths);
// The exact payload of the activity manager calls "join" and "mapProcess".
std::string expected_association(int activity_id, int pid);

// A private bus without activation that this process uses as its session
// bus, a client connection on it, and a main loop for the code under test.
class own_bus_test : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override { g_main_loop_unref(loop); }
  private_bus bus;
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  connection_ptr client;
};

// The built service on a private bus, started by an empty call on `client`
// (SetUp does that; a fixture that needs another environment for it
// overrides SetUp). After the test the service and the bus are stopped (a
// test may stop them itself to read their log) and their error output must
// hold no sanitizer report.
class running_service : public ::testing::Test {
protected:
  void SetUp() override { start(); }
  void start(const std::vector<std::pair<std::string, std::string>> &environment = {});
  void stop() {
    client.reset();
    bus.stop();
  }
  void TearDown() override;
  private_bus bus;
  connection_ptr client;
  pid_t service = 0;
};

// A stand-in activity manager: owns "com.kivo.taskherd", answers every "join"
// and "mapProcess" with {"returnValue":true} and records every call, "cancel"
// notices included, in arrival order.
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
  // Methods in order, a cancel notice as "cancel " + the method it names (the
  // notice also names the call's serial: check that where it matters).
  std::vector<std::string> methods() const;

  std::vector<call> calls;
  connection_ptr connection;
  guint registration = 0;
};

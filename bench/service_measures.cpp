#include "service_measures.h"

#include "process_stats.h"

#include "base/json_helpers.h"
#include "testing/harness.h"

#include <glib/gstdio.h>
#include <json-c/json.h>

#include <map>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

// A private bus in a temporary folder that starts `binary` on the first call,
// and one connection to it.
struct bench_bus {
  bus_daemon daemon;
  std::string binary;
  GDBusConnection *connection = nullptr;

  bool start(std::string *error) {
    g_autofree char *made = g_dir_make_tmp("mediasift-bench-bus-XXXXXX", nullptr);
    if (made == nullptr) {
      *error = "no temporary folder for the bus";
      return false;
    }
    // The service logs every unreadable file, which would drown the table:
    // the daemon's error output, which the service inherits, is dropped.
    if (!bus_daemon_start(&daemon, made, binary, "", {{"QUIT_DELAY", "0"}}, -1, error))
      return false;
    connection = bus_open(daemon.address, error);
    return connection != nullptr;
  }

  pid_t owner_pid() const { return bus_owner_pid(connection, service_name); }
  // CPU microseconds each running worker of the service has used so far.
  std::map<pid_t, double> worker_cpu() const {
    std::map<pid_t, double> cpu;
    for (pid_t pid : worker_pids(daemon.address, 0, binary))
      cpu[pid] = cpu_microseconds(pid);
    return cpu;
  }

  void stop() {
    if (connection != nullptr)
      bus_close(connection);
    connection = nullptr;
    bus_daemon_stop(&daemon, binary);
    if (!daemon.dir.empty()) {
      for (const char *leftover : {"/services/com.kivo.mediasiftd.service", "/bus.conf"})
        g_remove((daemon.dir + leftover).c_str());
      for (const char *folder : {"/services", "/sockets", ""})
        g_rmdir((daemon.dir + folder).c_str());
      daemon.dir.clear();
    }
  }
};

void call_parse(GDBusConnection *connection, const std::string &payload, call_result *state) {
  // No time-out: a large batch on a slow device may take minutes.
  bus_call_async(connection, service_name, service_name, "parse", g_variant_new("(s)", payload.c_str()), state,
                 G_MAXINT);
}

void wait_all(const std::vector<call_result> &states) {
  auto all_done = [&] {
    for (const call_result &s : states)
      if (!s.done)
        return false;
    return true;
  };
  while (!all_done())
    g_main_context_iteration(nullptr, TRUE);
}

// CPU time the workers running now used since `before` was taken; a worker
// started since counts from zero.
double worker_cpu_since(const bench_bus &bus, const std::map<pid_t, double> &before) {
  double used = 0;
  for (const auto &[pid, cpu] : bus.worker_cpu()) {
    auto earlier = before.find(pid);
    used += cpu - (earlier != before.end() ? earlier->second : 0);
  }
  return used;
}

} // namespace

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
  bench_bus bus;
  bus.binary = binary;
  bool ok = bus.start(error);
  std::vector<GDBusConnection *> connections;
  if (ok) {
    // The first call starts the service; it is not timed.
    std::vector<call_result> start(1);
    call_parse(bus.connection, "{\"files\":[]}", &start[0]);
    wait_all(start);
    ok = start[0].error_text.empty();
    if (!ok)
      *error = "the service did not start: " + start[0].error_text;
  }

  if (ok) {
    // One caller, in calls of at most `paths_per_call` paths, each sent once
    // the one before is answered.
    pid_t service = bus.owner_pid();
    double service_cpu = cpu_microseconds(service);
    std::map<pid_t, double> workers = bus.worker_cpu();
    double begin = now_seconds();
    for (size_t first = 0; first < paths.size() && ok; first += paths_per_call) {
      std::vector<std::string> part(paths.begin() + static_cast<long>(first),
                                    paths.begin() + static_cast<long>(std::min(paths.size(), first + paths_per_call)));
      std::vector<call_result> one(1);
      call_parse(bus.connection, payload_for(part), &one[0]);
      wait_all(one);
      ok = one[0].error_text.empty() && reply_matches(one[0].reply, part, error);
      if (!one[0].error_text.empty())
        *error = "one caller: " + one[0].error_text;
      out->entries += ok ? part.size() : 0;
    }
    out->one_call_seconds = now_seconds() - begin;
    if (service_cpu >= 0)
      out->service_cpu_us = cpu_microseconds(service) - service_cpu;
    out->worker_cpu_us = worker_cpu_since(bus, workers);
  }

  if (ok) {
    // Each caller on a connection of its own, with its own share of files.
    out->callers = callers;
    std::vector<std::vector<std::string>> shares(static_cast<size_t>(callers));
    for (size_t i = 0; i < paths.size(); ++i)
      shares[i * static_cast<size_t>(callers) / paths.size()].push_back(paths[i]);
    std::vector<std::string> payloads;
    for (int c = 0; c < callers && ok; ++c) {
      GDBusConnection *connection = bus_open(bus.daemon.address, error);
      ok = connection != nullptr;
      if (ok)
        connections.push_back(connection);
      payloads.push_back(payload_for(shares[static_cast<size_t>(c)]));
    }
    if (ok) {
      std::vector<call_result> states(static_cast<size_t>(callers));
      pid_t service = bus.owner_pid();
      double service_cpu = cpu_microseconds(service);
      std::map<pid_t, double> workers = bus.worker_cpu();
      double begin = now_seconds();
      for (size_t c = 0; c < states.size(); ++c)
        call_parse(connections[c], payloads[c], &states[c]);
      wait_all(states);
      out->concurrent_seconds = now_seconds() - begin;
      if (service_cpu >= 0)
        out->concurrent_service_cpu_us = cpu_microseconds(service) - service_cpu;
      out->concurrent_worker_cpu_us = worker_cpu_since(bus, workers);
      for (size_t c = 0; c < states.size() && ok; ++c) {
        ok = states[c].error_text.empty() && reply_matches(states[c].reply, shares[c], error);
        if (!states[c].error_text.empty())
          *error = "caller " + std::to_string(c) + ": " + states[c].error_text;
        if (ok)
          out->entries += shares[c].size();
      }
    }
  }

  if (ok) {
    pid_t service = bus.owner_pid();
    out->service_peak_rss_kib = status_kib(service, "VmHWM");
    for (const auto &worker : bus.worker_cpu())
      out->worker_peak_rss_kib = std::max(out->worker_peak_rss_kib, status_kib(worker.first, "VmHWM"));
  }
  for (GDBusConnection *c : connections)
    bus_close(c);
  bus.stop();
  return ok;
}

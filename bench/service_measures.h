// The whole service: a private dbus-daemon that starts the built service on
// the first call; one caller sending calls of up to 1,000 paths one after
// another, then several callers at once, each with its share.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct service_run {
  double one_call_seconds = 0;
  double concurrent_seconds = 0;
  int callers = 0;
  size_t entries = 0; // entries over all replies, each checked against its path
  long service_peak_rss_kib = -1;
  long worker_peak_rss_kib = -1;
  // CPU time spent on each measure, by the service and by all its workers
  // together; -1 when unknown.
  double service_cpu_us = -1;
  double worker_cpu_us = -1;
  double concurrent_service_cpu_us = -1;
  double concurrent_worker_cpu_us = -1;
};

// Paths per call, as the client sends them.
constexpr size_t paths_per_call = 1000;

// Runs both measures against `binary` started by a private bus. False with
// `error` set when the bus or the service can't be started, a call fails, or
// a reply does not hold exactly its own paths in order.
bool measure_service(const std::string &binary, const std::vector<std::string> &paths, int callers,
                     service_run *out, std::string *error);

// Checks that `reply` is a success reply whose entries name exactly `paths`,
// in order; otherwise says what is wrong in `error`.
bool reply_matches(const std::string &reply, const std::vector<std::string> &paths, std::string *error);

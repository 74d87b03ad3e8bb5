// A broker driven on the GLib default main loop, every callback recorded and
// every worker accounted for: after each test no descriptor is left open and
// no worker is left running.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

extern const char *const hook_path; // the path on which the real worker spins
extern const char *const failed_json; // the worker's answer for a missing file
extern const char *const toxic_json;

class broker_test : public ::testing::Test {
public:
  static std::vector<std::string> events; // "PATH => JSON" per collect (compact JSON), "delimit"
  static std::vector<int> pids;           // every worker the broker reported

protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the broker on `worker` (null: the built worker) with a time-out of
  // `timeout` seconds (0: the product's) and `lanes` lanes.
  void start(const char *worker = nullptr, unsigned timeout = 0, unsigned lanes = 1);
  void batch(const std::vector<std::string> &paths); // the requests, then a delimiter
  // Runs the main loop until `done` holds or `seconds` pass; returns `done`.
  bool run_until(const std::function<bool()> &done, int seconds = 30) { return ::run_until(done, seconds * 1000); }
  bool run_until_batches(size_t count, int seconds = 30);
  void kill_worker(int signal); // the newest, then runs until its successor is reported
  int reap(int pid, int seconds = 10); // its wait status, -1 when it did not end
  int count_logged(const std::string &prefix) const;

  log_capture log;

private:
  std::set<std::string> fds_before;
  std::set<int> reaped;
};

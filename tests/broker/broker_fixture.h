// A broker driven on the GLib default main loop, with every callback recorded
// and every worker accounted for: after each test no descriptor is left open
// and no worker is left running.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

extern const char *const hook_path; // the path on which the real worker spins
extern const char *const failed_json;
extern const char *const toxic_json;

class broker_test : public ::testing::Test {
public:
  // "PATH => JSON" per collect (JSON re-serialised compactly), "delimit".
  static std::vector<std::string> events;
  static std::vector<int> pids; // every worker the broker reported

protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the broker on `worker` (null: the built worker) with the time-out
  // `timeout` (0: the product's).
  void start(const char *worker = nullptr, unsigned timeout = 0);
  // Queues `paths` and a delimiter.
  void batch(const std::vector<std::string> &paths);
  // Runs the main loop until `done` holds or `seconds` pass; returns `done`.
  bool run_until(const std::function<bool()> &done, int seconds = 30);
  bool run_until_batches(size_t count, int seconds = 30);
  // Dispatches whatever is ready without waiting.
  void drain_events();
  // Signals the newest worker and runs until its successor is reported.
  void kill_worker(int signal);
  // Waits for worker `pid` to end and returns its wait status (-1: it didn't).
  int reap(int pid, int seconds = 10);
  int count_logged(const std::string &prefix) const;

  log_capture log;

private:
  std::set<std::string> fds_before;
  std::set<int> reaped;
};

size_t count_of(const std::vector<std::string> &events, const std::string &event);

// The broker's entry points over its set of lanes.
#include "broker/broker.h"

#include "base/log.h"
#include "broker/broker_testing.h"
#include "broker/lane_io.h"

#include <unistd.h>

#include <csignal>
#include <memory>

namespace {

constexpr unsigned default_timeout_seconds = 60;
constexpr size_t max_lanes = 4;

struct broker_lanes {
  // Each lane_io is watched by its sources through its address: it never moves.
  std::vector<std::unique_ptr<lane_io>> lanes;
  lane_hooks hooks;
  unsigned lanes_for_testing = 0;
  long long request_id = 0; // ids run on over every lane and worker
  lane_io *open = nullptr;  // the lane of the batch being queued
  void *open_batch = nullptr;
};

broker_lanes broker;

void perform(lane_io &io, lane_actions &actions) { lane_io_perform(io, actions); }

// A lane can take requests once its worker runs, or can be started.
bool usable(const lane_io &io) { return io.state.worker != lane_worker::failed; }

lane_io *open_lane() {
  if (broker.open == nullptr)
    metadata_open_batch(nullptr, nullptr);
  return broker.open;
}

} // namespace

size_t metadata_lane_count(long online_cpus) {
  if (online_cpus < 1)
    return 1;
  return static_cast<size_t>(online_cpus) < max_lanes ? static_cast<size_t>(online_cpus) : max_lanes;
}

size_t metadata_choose_lane(const std::vector<size_t> &unanswered, const std::vector<bool> &usable_lanes) {
  size_t best = unanswered.size();
  for (size_t i = 0; i < unanswered.size(); ++i) {
    if (usable_lanes[i] && (best == unanswered.size() || unanswered[i] < unanswered[best]))
      best = i;
  }
  return best < unanswered.size() ? best : 0;
}

bool metadata_new(int *pid) {
  // A write to a worker that has just died must fail as a write, not end the
  // service.
  signal(SIGPIPE, SIG_IGN);
  size_t count = broker.lanes_for_testing != 0 ? broker.lanes_for_testing
                                               : metadata_lane_count(sysconf(_SC_NPROCESSORS_ONLN));
  metadata_free(); // a second start must not leave the first one's workers watched
  for (size_t i = 0; i < count; ++i) {
    broker.lanes.push_back(std::make_unique<lane_io>());
    broker.lanes.back()->hooks = &broker.hooks;
  }
  // The first lane's worker starts now, so that a service that can't run one
  // fails at start-up; the others start when first chosen.
  if (!lane_io_start(*broker.lanes[0])) {
    metadata_free();
    return false;
  }
  if (pid != nullptr)
    *pid = static_cast<int>(broker.lanes[0]->pid);
  return true;
}

void metadata_free() {
  for (auto &io : broker.lanes)
    lane_io_close(*io);
  broker.lanes.clear();
  broker.open = nullptr;
  broker.open_batch = nullptr;
}

void metadata_clear() {
  for (auto &io : broker.lanes)
    lane_clear(io->state);
}

void metadata_open_batch(void *batch, int *pid) {
  if (pid != nullptr)
    *pid = 0;
  if (broker.lanes.empty())
    return;
  std::vector<size_t> unanswered;
  std::vector<bool> can;
  for (const auto &io : broker.lanes) {
    unanswered.push_back(lane_unanswered(io->state));
    can.push_back(usable(*io));
  }
  lane_io &io = *broker.lanes[metadata_choose_lane(unanswered, can)];
  if (io.state.worker == lane_worker::none && !lane_io_start(io))
    io.state.worker = lane_worker::failed;
  broker.open = &io;
  broker.open_batch = batch;
  if (pid != nullptr && io.state.worker != lane_worker::failed)
    *pid = static_cast<int>(io.pid);
}

bool metadata_request(const char *path) {
  if (path == nullptr) {
    log_error("Invalid path for metadata! %s\n", "(null)");
    return false;
  }
  lane_io *io = open_lane();
  // A lane whose worker is being replaced takes the request for the next one.
  if (io == nullptr || io->state.worker == lane_worker::failed || io->state.worker == lane_worker::none) {
    log_error("Spawned process is not running! %s\n", path);
    return false;
  }
  lane_actions actions;
  lane_queue_request(io->state, ++broker.request_id, path, broker.open_batch, actions);
  perform(*io, actions);
  return true;
}

void metadata_delimit() {
  lane_io *io = open_lane();
  void *batch = broker.open_batch;
  broker.open = nullptr;
  broker.open_batch = nullptr;
  if (io == nullptr) {
    if (broker.hooks.delimit != nullptr)
      broker.hooks.delimit(batch);
    return;
  }
  lane_actions actions;
  lane_queue_delimiter(io->state, batch, actions);
  perform(*io, actions);
}

bool metadata_queue_is_empty() {
  for (const auto &io : broker.lanes) {
    if (!lane_is_empty(io->state))
      return false;
  }
  return true;
}

void metadata_register_collect(metadata_collect_fn callback) { broker.hooks.collect = callback; }

void metadata_register_delimit_reached(metadata_delimit_fn callback) { broker.hooks.delimit = callback; }

void metadata_register_respawn_process(metadata_respawn_fn callback) { broker.hooks.respawned = callback; }

void metadata_set_timeout_for_testing(unsigned seconds) {
  broker.hooks.timeout_seconds = seconds != 0 ? seconds : default_timeout_seconds;
}

void metadata_set_worker_path_for_testing(const char *path) { broker.hooks.worker_path = path; }

void metadata_set_lanes_for_testing(unsigned count) { broker.lanes_for_testing = count; }

// The I/O shell around one lane: the worker process, its two pipes, the
// watches on them, the time-out, and the callbacks the lane's actions reach.
// It does what the lane's actions say and feeds what happens back into the
// lane as events. Everything runs on the GLib default main context.
#pragma once

#include "broker/broker.h"
#include "broker/lane.h"

#include <glib.h>

#include <deque>
#include <string>

// What every lane shares: the service's callbacks and the settings.
struct lane_hooks {
  metadata_collect_fn collect = nullptr;
  metadata_delimit_fn delimit = nullptr;
  metadata_respawn_fn respawned = nullptr;
  unsigned timeout_seconds = 60;       // a request's time before its worker is killed
  const char *worker_path = nullptr; // null: the installed worker
};

struct lane_io {
  lane state;
  const lane_hooks *hooks = nullptr;
  GPid pid = 0;
  // A descriptor naming the worker process itself. GLib's spawn hands the
  // worker to init, which reaps it as soon as it dies, so its pid may name
  // another process by the time it is killed; a signal sent through this
  // descriptor can only reach the worker. -1 where the kernel has none.
  int pidfd = -1;
  int in_fd = -1;  // write end of the worker's input, non-blocking
  int out_fd = -1; // read end of its output, non-blocking
  guint read_watch = 0;
  guint write_watch = 0;
  guint timer = 0;
  guint grace = 0;     // the kill grace of a killed worker, until its hang-up
  gint64 deadline = 0; // monotonic time at which the time-out fires
  std::string out;     // bytes for the worker's input the pipe has not taken
  size_t out_done = 0; // of `out`, bytes already written
  std::string in;      // what the worker wrote that is not yet a whole line
  std::deque<lane_action> pending; // actions not yet performed, in order
  bool performing = false;
};

// Starts the lane's worker; false, logged, when it can't be started.
bool lane_io_start(lane_io &io);
// Performs `actions`, and every action the events they cause bring, in
// order. Called again from inside a callback, it only queues.
void lane_io_perform(lane_io &io, lane_actions &actions);
// Ends the lane's worker (closing its input ends an idle one; one busy with
// a request is killed, as it might never read that end), and drops every
// queued and unanswered item without callbacks.
void lane_io_close(lane_io &io);

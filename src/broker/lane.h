// One lane of the broker as a pure state machine: one worker's queue of
// request lines and batch delimiters, the requests written ahead to it, and
// the retry, time-out and toxic rules. Each event function takes the lane
// and appends what is to be done to an action list; it performs no I/O,
// arms no timer and calls nobody. The I/O shell (lane_io) does what the
// actions say and feeds what happens back in as events.
//
// The worker answers its requests in order, one line each, so the oldest
// unanswered request is always the one it is parsing: a death or a time-out
// is that request's fault alone, and every younger one goes to the next
// worker again as if nothing had happened.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// Requests written ahead of their answers. Enough to keep the worker busy
// while the service reads answers; few enough that a worker's death sends
// little again.
constexpr size_t lane_max_ahead = 32;
// Bytes of request lines written ahead: below the 64 KiB a pipe holds, so
// the worker's input never fills while it works. One line longer than this
// still goes, alone, through the writable watch.
constexpr size_t lane_max_ahead_bytes = 60 * 1024;

// Seconds a killed worker has to hang up before it is abandoned. A process
// in uninterruptible sleep (a file system that never answers) dies only when
// its system call returns, and until then holds its pipes open: no hang-up
// would come and the lane would wait with it.
constexpr unsigned lane_kill_grace_seconds = 5;

// The entry records the broker hands on for files without a worker's answer.
extern const char *const lane_toxic_record;
extern const char *const lane_line_end_record;
extern const char *const lane_not_answered_record;

enum class lane_worker {
  none,     // not started yet: started when the lane is first chosen
  running,  // takes request lines
  stopping, // killed, or its input broke: its hang-up is still to come
  failed,   // could not be started again: the lane drains without one
};

struct lane_item {
  enum class kind { request, delimiter, line_end } what = kind::request;
  std::string line; // request: "ID:PATH\n"
  std::string path; // the path as collected: trailing white space stripped
  void *batch = nullptr;
  bool retried = false; // has already cost one worker
  size_t end = 0;       // written: offset just past its line in the worker's input
};

struct lane_action {
  enum class kind {
    write,        // text: bytes for the worker's input
    collect,      // batch, path, text: the entry's record
    delimit,      // batch: every earlier request of the lane is collected
    kill,         // the worker; text: what to log if the signal can't be sent. Arms the
                  // kill grace: a worker not hung up by its end is abandoned
    spawn,        // a new worker; its start comes back as lane_started
    arm_timer,    // (re)start the time-out
    cancel_timer, // stop it
    log,          // text: the message
    abandon,      // drop the killed worker's pipes and pidfd without waiting for its hang-up
  } what;
  std::string text;
  std::string path;
  void *batch = nullptr;
  double size = 0;     // collect: the file's size in bytes, 0 where the worker did not open it
  double modified = 0; // collect: its modification time in seconds, 0 likewise
};

using lane_actions = std::vector<lane_action>;

struct lane {
  std::deque<lane_item> queue; // not yet written, oldest first
  std::deque<lane_item> sent;  // written (or passed on, for delimiters), unanswered, oldest first
  lane_worker worker = lane_worker::none;
  size_t handed = 0;   // bytes of request lines handed to the current worker's input
  size_t accepted = 0; // of those, bytes its pipe has taken
  size_t sent_requests = 0;
  size_t sent_bytes = 0;
  bool timer = false;
  bool short_logged = false; // "Line was short!" said for the answer under way
};

// Queues a request for `path` with id `id`; nothing is written before the
// batch's delimiter is queued. A path holding a line end would split its
// request line: it is answered in its place, never sent.
void lane_queue_request(lane &l, long long id, const char *path, void *batch, lane_actions &out);
// Queues the delimiter of `batch` and starts writing.
void lane_queue_delimiter(lane &l, void *batch, lane_actions &out);

// The worker was started (first time or again) and takes lines.
void lane_started(lane &l, lane_actions &out);
// Starting a worker again failed: the lane has none from now on.
void lane_spawn_failed(lane &l, lane_actions &out);
// The worker's input pipe took `count` more bytes.
void lane_written(lane &l, size_t count, lane_actions &out);
// A write to the worker's input failed: the worker is gone or deaf.
void lane_write_failed(lane &l, lane_actions &out);
// One whole answer line, trailing white space stripped.
void lane_answer(lane &l, const std::string &line, lane_actions &out);
// Bytes of an answer arrived, but not its end.
void lane_partial(lane &l, lane_actions &out);
void lane_timed_out(lane &l, lane_actions &out);
// The worker's output hung up: it is dead.
void lane_gone(lane &l, lane_actions &out);
// The kill grace ran out with the killed worker not yet hung up: it is
// abandoned (it ends by itself once its system call returns) and handled as
// dead.
void lane_kill_expired(lane &l, lane_actions &out);

// Requests queued or written and not yet answered.
size_t lane_unanswered(const lane &l);
// Nothing queued, nothing unanswered.
bool lane_is_empty(const lane &l);
// True when the worker is parsing (a written request is unanswered).
bool lane_busy(const lane &l);
// Drops everything queued and unanswered, without actions.
void lane_clear(lane &l);

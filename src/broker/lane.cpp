#include "broker/lane.h"

#include "broker/broker_lines.h"

#include <cstring>

const char *const lane_toxic_record = "{\"returnValue\":false,\"toxic\":true}";
const char *const lane_line_end_record = "{\"returnValue\":false,\"errorText\":\"pathHoldsLineEnd\"}";
const char *const lane_not_answered_record = "{\"returnValue\":false,\"errorText\":\"notAnswered\"}";

namespace {

using kind = lane_action::kind;

void act(lane_actions &out, kind what, std::string text = {}) { out.push_back({what, std::move(text), {}, nullptr}); }

void log(lane_actions &out, std::string text) { act(out, kind::log, std::move(text)); }

void collect(lane_actions &out, const lane_item &item, const char *json, double size = 0, double modified = 0) {
  out.push_back({kind::collect, json, item.path, item.batch, size, modified});
}

void arm(lane &l, lane_actions &out) {
  l.timer = true;
  act(out, kind::arm_timer);
}

void cancel(lane &l, lane_actions &out) {
  if (l.timer)
    act(out, kind::cancel_timer);
  l.timer = false;
}

// The path a request line carries, as the collect callback gets it.
std::string collected_path(const char *path) {
  size_t length = strlen(path);
  while (length > 0 && strchr(" \t\n\r\f\v", path[length - 1]) != nullptr)
    --length;
  return std::string(path, length);
}

// Takes the oldest unanswered request off the written list.
lane_item take_oldest(lane &l) {
  lane_item item = std::move(l.sent.front());
  l.sent.pop_front();
  --l.sent_requests;
  l.sent_bytes -= item.line.size();
  return item;
}

// Delimiters and unsendable paths at the head of the written list have
// nothing earlier left to wait for.
void settle(lane &l, lane_actions &out) {
  while (!l.sent.empty() && l.sent.front().what != lane_item::kind::request) {
    const lane_item &item = l.sent.front();
    if (item.what == lane_item::kind::delimiter)
      out.push_back({kind::delimit, {}, {}, item.batch});
    else
      collect(out, item, lane_line_end_record);
    l.sent.pop_front();
  }
}

// Writes queued requests while the worker runs and the window allows;
// delimiters follow the requests before them. With no worker for good,
// requests are dropped and delimiters still reached, so no batch waits.
void pump(lane &l, lane_actions &out) {
  bool idle = l.sent_requests == 0;
  while (!l.queue.empty()) {
    lane_item &next = l.queue.front();
    if (next.what == lane_item::kind::request) {
      if (l.worker == lane_worker::failed) {
        log(out, "Failed to request metadata for " + next.line + "\n");
        collect(out, next, lane_not_answered_record);
        l.queue.pop_front();
        continue;
      }
      if (l.worker != lane_worker::running || l.sent_requests >= lane_max_ahead ||
          (l.sent_requests > 0 && l.sent_bytes + next.line.size() > lane_max_ahead_bytes))
        break;
      l.handed += next.line.size();
      next.end = l.handed;
      l.sent_bytes += next.line.size();
      if (!out.empty() && out.back().what == kind::write)
        out.back().text += next.line;
      else
        act(out, kind::write, next.line);
      ++l.sent_requests;
    }
    l.sent.push_back(std::move(next));
    l.queue.pop_front();
  }
  // The time-out runs for the oldest request, from its write.
  if (idle && l.sent_requests > 0)
    arm(l, out);
  settle(l, out);
}

// Puts every written item back at the head of the queue, in order, for the
// next worker; the byte counts start again with it.
void requeue_sent(lane &l) {
  while (!l.sent.empty()) {
    l.queue.push_front(std::move(l.sent.back()));
    l.sent.pop_back();
  }
  l.sent_requests = 0;
  l.sent_bytes = 0;
  l.handed = 0;
  l.accepted = 0;
}

} // namespace

void lane_queue_request(lane &l, long long id, const char *path, void *batch, lane_actions &out) {
  lane_item item;
  item.path = collected_path(path);
  item.batch = batch;
  if (path_has_line_end(path)) {
    log(out, std::string("Path holds a line end, not sent to the parser! ") + path + "\n");
    item.what = lane_item::kind::line_end;
  } else {
    item.line = std::to_string(id) + ":" + path + "\n";
  }
  l.queue.push_back(std::move(item));
}

void lane_queue_delimiter(lane &l, void *batch, lane_actions &out) {
  lane_item item;
  item.what = lane_item::kind::delimiter;
  item.batch = batch;
  l.queue.push_back(std::move(item));
  pump(l, out);
}

void lane_started(lane &l, lane_actions &out) {
  l.worker = lane_worker::running;
  pump(l, out);
}

void lane_spawn_failed(lane &l, lane_actions &out) {
  log(out, "Failed to respawn metadata process!\n");
  l.worker = lane_worker::failed;
  pump(l, out);
}

void lane_written(lane &l, size_t count, lane_actions &) { l.accepted += count; }

void lane_write_failed(lane &l, lane_actions &out) {
  if (l.worker != lane_worker::running)
    return;
  // The first line the pipe did not take whole; it never reached a worker.
  for (const lane_item &item : l.sent) {
    if (item.what == lane_item::kind::request && item.end > l.accepted) {
      log(out, "Failed to request metadata for " + item.line + "\n");
      break;
    }
  }
  // A worker that closed its input may live on: the kill makes sure its
  // hang-up comes, and with it the next worker.
  l.worker = lane_worker::stopping;
  act(out, kind::kill);
}

void lane_answer(lane &l, const std::string &line, lane_actions &out) {
  l.short_logged = false;
  if (l.sent_requests == 0)
    return; // nothing asked: a stray line
  // One answer line per request line, in order: the answer is the oldest's,
  // unless its id names a younger request, in which case the older ones were
  // skipped.
  long long id = line_id(line.c_str());
  auto younger = [&](const lane_item &item) {
    return item.what == lane_item::kind::request && line_id(item.line.c_str()) == id;
  };
  // The usual answer is the oldest's: only another id needs the search.
  bool skipped = false;
  if (!younger(l.sent.front())) {
    for (size_t i = 1; i < l.sent.size() && !skipped; ++i)
      skipped = younger(l.sent[i]);
  }
  while (skipped && !younger(l.sent.front())) {
    if (l.sent.front().what == lane_item::kind::request)
      collect(out, take_oldest(l), lane_not_answered_record);
    settle(l, out);
  }
  lane_item oldest = take_oldest(l);
  answer_text text;
  switch (match_answer(oldest.line.c_str(), line.c_str(), &text)) {
  case answer_match::collect:
    collect(out, oldest, text.json, text.size, text.modified);
    break;
  case answer_match::no_text:
    log(out, "Invalid output from parser!\n");
    collect(out, oldest, lane_not_answered_record);
    break;
  case answer_match::other_id:
    collect(out, oldest, lane_not_answered_record);
    break;
  }
  // The next request became the oldest now: its time runs from here.
  if (l.sent_requests > 0)
    arm(l, out);
  else
    cancel(l, out);
  settle(l, out);
  pump(l, out);
}

void lane_partial(lane &l, lane_actions &out) {
  if (!l.short_logged)
    log(out, "Line was short!\n");
  l.short_logged = true;
  // The worker is alive and writing: give the rest its full time.
  if (l.timer)
    arm(l, out);
}

void lane_timed_out(lane &l, lane_actions &out) {
  l.timer = false;
  if (l.worker != lane_worker::running)
    return;
  l.worker = lane_worker::stopping;
  act(out, kind::kill, "Failed to forcefully terminate child!\n");
}

void lane_gone(lane &l, lane_actions &out) {
  cancel(l, out);
  l.short_logged = false;
  if (l.sent_requests > 0 && l.sent.front().end <= l.accepted) {
    // The worker had the oldest request whole: it died on it.
    lane_item &oldest = l.sent.front();
    if (!oldest.retried) {
      log(out, "First time parser died on us " + oldest.line + ".\n");
      oldest.retried = true;
    } else {
      log(out, "Reporting as second time toxic, " + oldest.line + "\n");
      log(out, "Toxic file " + oldest.line + "!\n");
      collect(out, take_oldest(l), lane_toxic_record);
      settle(l, out);
    }
  }
  requeue_sent(l);
  l.worker = lane_worker::none;
  act(out, kind::spawn);
}

void lane_kill_expired(lane &l, lane_actions &out) {
  if (l.worker != lane_worker::stopping)
    return;
  log(out, "Killed parser did not exit, abandoned!\n");
  act(out, kind::abandon);
  lane_gone(l, out);
}

size_t lane_unanswered(const lane &l) {
  size_t count = l.sent_requests;
  for (const lane_item &item : l.queue)
    count += item.what == lane_item::kind::request ? 1 : 0;
  return count;
}

bool lane_is_empty(const lane &l) { return l.queue.empty() && l.sent.empty(); }

bool lane_busy(const lane &l) { return l.sent_requests > 0; }

void lane_clear(lane &l) {
  l.queue.clear();
  l.sent.clear();
  l.sent_requests = 0;
  l.sent_bytes = 0;
  l.timer = false;
  l.short_logged = false;
}

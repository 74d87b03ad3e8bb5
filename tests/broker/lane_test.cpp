// The lane's rules, one table row each: a sequence of events in, the actions
// each event must produce out. No process, pipe or timer is involved.
#include "broker/broker.h"
#include "broker/lane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Batches are told apart by their tag; B1 and B2 stand for two of them.
void *tag(const std::string &name) { return reinterpret_cast<void *>(static_cast<uintptr_t>(name[1] - '0')); }

std::string shown(std::string text) {
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos;)
    text.replace(at, 1, "|");
  return text;
}

std::string record(const std::string &json) {
  if (json == lane_toxic_record)
    return "TOXIC";
  if (json == lane_not_answered_record)
    return "LOST";
  if (json == lane_line_end_record)
    return "LINE_END";
  return json;
}

// Actions as "; "-separated words: write LINES, collect Bn PATH RECORD,
// delimit Bn, kill, spawn, arm, cancel, log TEXT ("|" for a line feed),
// abandon. A collect with a size or time shows them as " @SIZE/MODIFIED".
std::string render(const lane_actions &actions) {
  static const char *const names[] = {"write ", "collect ", "delimit ", "kill",
                                      "spawn",  "arm",      "cancel",   "log ", "abandon"};
  std::string out;
  for (const lane_action &a : actions) {
    std::string batch = "B" + std::to_string(reinterpret_cast<uintptr_t>(a.batch));
    out += (out.empty() ? "" : " ; ") + std::string(names[static_cast<int>(a.what)]);
    if (a.what == lane_action::kind::collect)
      out += batch + " " + shown(a.path) + " " + record(a.text) +
             (a.size != 0 || a.modified != 0
                  ? " @" + std::to_string(static_cast<long long>(a.size)) + "/" +
                        std::to_string(static_cast<long long>(a.modified))
                  : "");
    else if (a.what == lane_action::kind::delimit)
      out += batch;
    else if (a.what == lane_action::kind::kill && !a.text.empty())
      out += " or log " + shown(a.text);
    else
      out += shown(a.text);
  }
  return out;
}

// Events: "req Bn PATH" (ids 1, 2, ... in order), "delim Bn", "started",
// "spawn failed", "written N", "written all", "write failed", "answer LINE",
// "partial", "timeout", "gone", "grace over".
lane_actions apply(lane &l, long long *id, const std::string &event) {
  lane_actions out;
  std::string arg = event.substr(event.find(' ') + 1);
  if (event.rfind("req ", 0) == 0)
    lane_queue_request(l, ++*id, arg.substr(3).c_str(), tag(arg), out);
  else if (event.rfind("delim ", 0) == 0)
    lane_queue_delimiter(l, tag(arg), out);
  else if (event == "started")
    lane_started(l, out);
  else if (event == "spawn failed")
    lane_spawn_failed(l, out);
  else if (event.rfind("written ", 0) == 0)
    lane_written(l, arg == "all" ? l.handed - l.accepted : std::stoul(arg), out);
  else if (event == "write failed")
    lane_write_failed(l, out);
  else if (event.rfind("answer ", 0) == 0)
    lane_answer(l, arg, out);
  else if (event == "partial")
    lane_partial(l, out);
  else if (event == "timeout")
    lane_timed_out(l, out);
  else if (event == "gone")
    lane_gone(l, out);
  else if (event == "grace over")
    lane_kill_expired(l, out);
  else
    ADD_FAILURE() << "unknown event " << event;
  return out;
}

struct step {
  std::string event;
  std::string actions; // what the event must produce
};
using steps = std::vector<step>;

// A running worker with requests /a and /b of batch B1 written ahead.
steps two_ahead(steps then) {
  steps all = {{"started", ""}, {"req B1 /a", ""}, {"req B1 /b", ""}, {"delim B1", "write 1:/a|2:/b| ; arm"}};
  all.insert(all.end(), then.begin(), then.end());
  return all;
}

const std::string died_a = "log First time parser died on us 1:/a|.|";
const std::string kill_timed_out = "kill or log Failed to forcefully terminate child!|";
const std::string abandoned = "log Killed parser did not exit, abandoned!| ; abandon";

const struct {
  const char *rule;
  steps events;
} rows[] = {
    {"requests wait for their delimiter, then go ahead in one write; each answer re-arms the time-out",
     two_ahead({{"written all", ""}, {"answer 1:{\"a\":1}", "collect B1 /a {\"a\":1} ; arm"},
                {"answer 02:{}", "collect B1 /b {} ; cancel ; delimit B1"}})},
    {"a delimiter with nothing before it is reached at once", {{"started", ""}, {"delim B1", "delimit B1"}}},
    {"delimiters between pipelined requests are reached in order, each after its own requests",
     {{"started", ""}, {"req B1 /a", ""}, {"delim B1", "write 1:/a| ; arm"}, {"req B2 /b", ""},
      {"delim B2", "write 2:/b|"}, {"answer 1:{}", "collect B1 /a {} ; arm ; delimit B1"},
      {"answer 2:{}", "collect B2 /b {} ; cancel ; delimit B2"}}},
    {"nothing is written before the worker runs", {{"req B1 /a", ""}, {"delim B1", ""}, {"started", "write 1:/a| ; arm"}}},
    {"the path collected has no trailing white space",
     {{"started", ""}, {"req B1 /a \t", ""}, {"delim B1", "write 1:/a \t| ; arm"},
      {"answer 1:{}", "collect B1 /a {} ; cancel ; delimit B1"}}},
    {"a path holding a line end is answered in its place, never written",
     {{"started", ""}, {"req B1 /x\ry", "log Path holds a line end, not sent to the parser! /x\ry|"}, {"req B1 /b", ""},
      {"delim B1", "write 2:/b| ; arm ; collect B1 /x\ry LINE_END"},
      {"answer 2:{}", "collect B1 /b {} ; cancel ; delimit B1"}}},
    {"a crash of the oldest costs its retry; the younger ones go again without one",
     two_ahead({{"written all", ""}, {"gone", "cancel ; " + died_a + " ; spawn"}, {"started", "write 1:/a|2:/b| ; arm"},
                {"written all", ""}, {"answer 1:{}", "collect B1 /a {} ; arm"},
                {"gone", "cancel ; log First time parser died on us 2:/b|.| ; spawn"}})},
    {"a second death makes the oldest toxic; the next goes to a third worker",
     two_ahead({{"written all", ""}, {"gone", "cancel ; " + died_a + " ; spawn"}, {"started", "write 1:/a|2:/b| ; arm"},
                {"written all", ""},
                {"gone", "cancel ; log Reporting as second time toxic, 1:/a|| ; log Toxic file 1:/a|!| ; "
                         "collect B1 /a TOXIC ; spawn"},
                {"started", "write 2:/b| ; arm"}, {"answer 2:{}", "collect B1 /b {} ; cancel ; delimit B1"}})},
    {"a time-out kills the worker; later requests wait for the next; its hang-up costs the oldest its retry",
     two_ahead({{"written all", ""}, {"timeout", "kill or log Failed to forcefully terminate child!|"}, {"timeout", ""},
                {"req B2 /c", ""}, {"delim B2", ""}, {"answer 1:{}", "collect B1 /a {} ; arm"},
                {"gone", "cancel ; log First time parser died on us 2:/b|.| ; spawn"},
                {"started", "write 2:/b|3:/c| ; arm"}})},
    {"a worker gone with nothing in flight is replaced without a word", {{"started", ""}, {"gone", "spawn"}}},
    {"the size and time the worker found go with the record; an answer without them has 0 and 0",
     two_ahead({{"answer 1:15:-86400:{\"a\":1}", "collect B1 /a {\"a\":1} @15/-86400 ; arm"},
                {"answer 2:{}", "collect B1 /b {} ; cancel ; delimit B1"}})},
    {"a killed worker not hung up within its grace is abandoned and counts as dead: retry, then toxic",
     two_ahead({{"written all", ""}, {"timeout", kill_timed_out}, {"grace over", abandoned + " ; " + died_a + " ; spawn"},
                {"started", "write 1:/a|2:/b| ; arm"}, {"written all", ""}, {"timeout", kill_timed_out},
                {"grace over", abandoned + " ; log Reporting as second time toxic, 1:/a|| ; log Toxic file 1:/a|!| ; "
                                           "collect B1 /a TOXIC ; spawn"},
                {"started", "write 2:/b| ; arm"}, {"answer 2:{}", "collect B1 /b {} ; cancel ; delimit B1"}})},
    {"a killed worker whose input broke is abandoned the same way",
     two_ahead({{"written 5", ""}, {"write failed", "log Failed to request metadata for 2:/b|| ; kill"},
                {"grace over", abandoned + " ; cancel ; " + died_a + " ; spawn"}})},
    {"a grace running out after the hang-up, or for a running worker, does nothing",
     two_ahead({{"grace over", ""}, {"written all", ""}, {"timeout", kill_timed_out},
                {"gone", died_a + " ; spawn"}, {"grace over", ""}})},
    {"an answer with another id is dropped with the oldest request",
     two_ahead({{"answer {\"returnValue\":false}", "collect B1 /a LOST ; arm"},
                {"answer 9:{}", "collect B1 /b LOST ; cancel ; delimit B1"}})},
    {"an answer naming a younger request skips the older ones",
     {{"started", ""}, {"req B1 /a", ""}, {"delim B1", "write 1:/a| ; arm"}, {"req B2 /b", ""},
      {"delim B2", "write 2:/b|"},
      {"answer 2:{}", "collect B1 /a LOST ; delimit B1 ; collect B2 /b {} ; cancel ; delimit B2"}}},
    {"an answer without text is logged and the request lost",
     two_ahead({{"answer 1:", "log Invalid output from parser!| ; collect B1 /a LOST ; arm"}})},
    {"an answer while nothing is in flight is ignored", {{"started", ""}, {"answer 1:{}", ""}}},
    {"an answer in pieces says \"Line was short!\" once and gives the rest its full time",
     two_ahead({{"partial", "log Line was short!| ; arm"}, {"partial", "arm"}, {"answer 1:{}", "collect B1 /a {} ; arm"},
                {"partial", "log Line was short!| ; arm"}})},
    {"a write refused: logged, the worker killed, the oldest it had blamed for its death",
     two_ahead({{"written 5", ""}, {"write failed", "log Failed to request metadata for 2:/b|| ; kill"},
                {"gone", "cancel ; " + died_a + " ; spawn"}, {"started", "write 1:/a|2:/b| ; arm"}})},
    {"a write failing before any worker saw the request keeps its retry and says no death",
     {{"started", ""}, {"req B1 /a", ""}, {"delim B1", "write 1:/a| ; arm"},
      {"write failed", "log Failed to request metadata for 1:/a|| ; kill"}, {"gone", "cancel ; spawn"},
      {"started", "write 1:/a| ; arm"}, {"written all", ""}, {"gone", "cancel ; " + died_a + " ; spawn"}}},
    {"a failed respawn drops what is queued as lost and still reaches every delimiter",
     two_ahead({{"written all", ""}, {"gone", "cancel ; " + died_a + " ; spawn"},
                {"spawn failed", "log Failed to respawn metadata process!| ; log Failed to request metadata for 1:/a|| ; "
                                 "collect B1 /a LOST ; log Failed to request metadata for 2:/b|| ; "
                                 "collect B1 /b LOST ; delimit B1"}})},
};

TEST(lane, each_rule_turns_its_events_into_its_actions) {
  for (const auto &r : rows) {
    SCOPED_TRACE(r.rule);
    lane l;
    long long id = 0;
    for (const step &s : r.events)
      EXPECT_EQ(render(apply(l, &id, s.event)), s.actions) << "after: " << s.event;
  }
}

TEST(lane, writes_at_most_its_window_ahead) {
  struct {
    size_t requests;
    size_t path_bytes;
    size_t first_write; // lines in the first write
  } cases[] = {
      {lane_max_ahead + 8, 10, lane_max_ahead},
      {5, 20000, 3},   // three lines of 20 KB fit the pipe's share, a fourth does not
      {2, 100000, 1},  // a line longer than the window still goes, alone
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path_bytes);
    lane l;
    lane_actions out;
    lane_started(l, out);
    for (size_t i = 0; i < c.requests; ++i)
      lane_queue_request(l, static_cast<long long>(i + 1), std::string(c.path_bytes, 'p').c_str(), nullptr, out);
    lane_queue_delimiter(l, nullptr, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(static_cast<size_t>(std::count(out[0].text.begin(), out[0].text.end(), '\n')), c.first_write);
    EXPECT_EQ(lane_unanswered(l), c.requests);
    // Each answer lets exactly one more line go.
    out.clear();
    lane_written(l, l.handed, out);
    lane_answer(l, "1:{}", out);
    auto write = std::find_if(out.begin(), out.end(), [](const lane_action &a) { return a.what == lane_action::kind::write; });
    ASSERT_NE(write, out.end());
    EXPECT_EQ(write->text, std::to_string(c.first_write + 1) + ":" + std::string(c.path_bytes, 'p') + "\n");
    EXPECT_FALSE(lane_is_empty(l));
  }
}

TEST(lanes, count_follows_the_processors_and_a_batch_goes_to_the_least_loaded) {
  EXPECT_EQ(metadata_lane_count(1), 1u);
  EXPECT_EQ(metadata_lane_count(2), 2u);
  EXPECT_EQ(metadata_lane_count(16), 4u);
  EXPECT_EQ(metadata_lane_count(-1), 1u);
  struct {
    std::vector<size_t> unanswered;
    std::vector<bool> usable;
    size_t chosen;
  } cases[] = {
      {{0, 0, 0}, {true, true, true}, 0},
      {{5, 0, 3}, {true, true, true}, 1},
      {{5, 1, 1}, {true, true, true}, 1},
      {{5, 0, 3}, {true, false, true}, 2}, // a lane without a worker for good takes nothing
      {{5, 0}, {false, false}, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(metadata_choose_lane(c.unanswered, c.usable), c.chosen);
}

} // namespace

#include "broker_fixture.h"

#include "broker/broker.h"
#include "broker/broker_testing.h"

#include <signal.h>
#include <sys/wait.h>

namespace {

using events_t = std::vector<std::string>;

// The fake worker's answer to request `id` for `path`.
std::string fake(const std::string &path, int id) {
  return path + " => {\"id\":" + std::to_string(id) + ",\"path\":\"" + path + "\",\"queued\":false}";
}

std::string failed(const std::string &path) { return path + " => " + failed_json; }
std::string refused(const std::string &path) { return path + " => " + refused_json; }
std::string toxic(const std::string &path) { return path + " => " + toxic_json; }

TEST_F(broker_test, batches_complete_in_order_and_ids_run_on_across_respawns) {
  start(FAKE_WORKER);
  batch({"a1", "a2", "a3"});
  batch({"separator", "b1"});
  ASSERT_TRUE(run_until_batches(2));
  // "queued":false in every answer: no line was written before the answer to
  // the one before it. Only a line feed ends an answer, not a U+2029 in it.
  EXPECT_EQ(events, (events_t{fake("a1", 1), fake("a2", 2), fake("a3", 3), "delimit",
                              "separator => {\"id\":4,\"path\":\"a\xe2\x80\xa9" "b\",\"queued\":false}",
                              fake("b1", 5), "delimit"}));

  // A delimiter with nothing queued is reached before metadata_delimit returns.
  events.clear();
  metadata_delimit();
  EXPECT_EQ(events, events_t{"delimit"});

  // A worker that dies with nothing in flight is replaced without a word.
  kill_worker(SIGKILL);
  EXPECT_EQ(count_logged("First time parser died"), 0);
  events.clear();
  batch({"hang", "c1"});
  kill_worker(SIGKILL);
  kill_worker(SIGKILL);
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{toxic("hang"), fake("c1", 7), "delimit"}));
}

TEST_F(broker_test, discarded_answers_let_the_next_request_go) {
  struct {
    const char *path;
    int invalid_logged;
  } cases[] = {{"wrongid", 0}, {"notext", 1}};
  start(FAKE_WORKER);
  int id = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    events.clear();
    log.lines.clear();
    batch({c.path, "next"});
    id += 2;
    ASSERT_TRUE(run_until_batches(1));
    EXPECT_EQ(events, (events_t{fake("next", id), "delimit"}));
    EXPECT_EQ(log.count("Invalid output from parser!\n"), c.invalid_logged);
  }
  EXPECT_EQ(pids.size(), 1u);
}

TEST_F(broker_test, answer_in_two_pieces_is_collected_once_and_stops_the_time_out) {
  // The second piece comes after the time-out would have passed.
  start(FAKE_WORKER, 1);
  batch({"split"});
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{fake("split", 1), "delimit"}));
  EXPECT_EQ(log.count("Line was short!\n"), 1);
  EXPECT_EQ(count_logged("First time parser died"), 0);
  EXPECT_EQ(pids.size(), 1u);
}

// A worker dies on a file by a signal, or (0) hangs on it until its time-out.
class broker_death_test : public broker_test, public ::testing::WithParamInterface<int> {};

TEST_P(broker_death_test, file_gets_one_retry_then_is_reported_toxic) {
  if (!test_hook_built)
    GTEST_SKIP() << "needs a build configured with -DMS_TEST_HOOKS=ON";
  start(nullptr, GetParam() == 0 ? 1 : 0);
  batch({hook_path, hook_path, "/nonexistent/d"});
  // Each file costs two workers; the second file must get its own retry.
  for (int i = 0; GetParam() != 0 && i < 4; i++)
    kill_worker(GetParam());
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{toxic(hook_path), toxic(hook_path), failed("/nonexistent/d"), "delimit"}));
  EXPECT_EQ(count_logged("First time parser died on us 1:" + std::string(hook_path)), 1);
  EXPECT_EQ(count_logged("First time parser died on us 2:" + std::string(hook_path)), 1);
  EXPECT_EQ(count_logged("Reporting as second time toxic, "), 2);
  EXPECT_EQ(count_logged("Toxic file "), 2);
  ASSERT_EQ(std::set<int>(pids.begin(), pids.end()).size(), 5u);
  for (int i = 0; GetParam() != SIGSEGV && i < 4; i++) {
    int status = reap(pids[i]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  }
}

INSTANTIATE_TEST_SUITE_P(deaths, broker_death_test, ::testing::Values(SIGKILL, SIGSEGV, 0));

TEST_F(broker_test, request_between_time_out_kill_and_hang_up_is_refused) {
  // The fake worker's child holds the pipe open after the kill, which keeps
  // the hang-up away for a while.
  start(FAKE_WORKER, 1);
  batch({"hang-fork"});
  int worker = pids[0];
  ASSERT_TRUE(run_until([worker] {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(worker), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == worker;
  }));
  EXPECT_FALSE(metadata_request("late"));
  EXPECT_EQ(log.count("Spawned process is not running! late\n"), 1);
  EXPECT_EQ(count_logged("First time parser died"), 0);
}

TEST_F(broker_test, real_worker_answers_each_request_in_its_place) {
  temp_dir dir;
  std::string list = dir.write("list.m3u", "#EXTM3U\n/music/a.mp3\n");
  struct {
    const char *end;
    const char *collected; // the path with the line end at its end, as collected
  } line_ends[] = {{"\n", "/nonexistent/a"},
                   {"\r", "/nonexistent/a"},
                   {"\r\n", "/nonexistent/a"},
                   {"\xe2\x80\xa9", "/nonexistent/a\xe2\x80\xa9"}};
  start();
  for (const auto &c : line_ends) {
    // A path holding a line end is never sent, so it can't split a request
    // line. The empty path is answered with its id and its reason; trailing
    // white space leaves the collected path.
    std::string odd = "/nonexistent/a" + std::string(c.end) + "b";
    SCOPED_TRACE(odd);
    events.clear();
    batch({list, "/nonexistent/b  ", "", odd, "/nonexistent/a" + std::string(c.end), "/nonexistent/c"});
    ASSERT_TRUE(run_until_batches(1));
    EXPECT_EQ(events, (events_t{list + " => " + record_text(list), failed("/nonexistent/b"),
                                " => " + refused_record("emptyPath"), refused(odd), refused(c.collected),
                                failed("/nonexistent/c"), "delimit"}));
  }
  EXPECT_EQ(pids.size(), 1u);
}

TEST_F(broker_test, free_releases_queued_requests_and_ends_the_worker) {
  if (!test_hook_built)
    GTEST_SKIP() << "needs a build configured with -DMS_TEST_HOOKS=ON";
  struct {
    std::vector<std::string> paths;
    bool delimit;
    bool killed; // exit status 11 otherwise
  } cases[] = {
      {{"/nonexistent/1", "/nonexistent/2", "/nonexistent/3"}, false, false},
      // A worker spinning on a file would never read the end of its input.
      {{hook_path, "/nonexistent/4"}, true, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.paths[0]);
    events.clear();
    start();
    for (const std::string &path : c.paths)
      EXPECT_TRUE(metadata_request(path.c_str()));
    if (c.delimit)
      metadata_delimit();
    metadata_free();
    // Nothing of the released worker may still be watched.
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); i++) {
    }
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(pids.size(), 1u);
    EXPECT_TRUE(metadata_queue_is_empty());
    int status = reap(pids.back());
    if (c.killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << status;
    }
    pids.clear();
  }
}

TEST_F(broker_test, write_to_a_dead_worker_sends_the_request_again_to_a_new_worker) {
  start();
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);
  reap(pids[0]); // dead for sure, its hang-up not yet handled
  batch({"/nonexistent/f"});
  EXPECT_EQ(events, events_t{}) << "the request waits for the hang-up, it is not dropped";
  EXPECT_EQ(log.count("Failed to request metadata for 1:/nonexistent/f\n\n"), 1);
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{failed("/nonexistent/f"), "delimit"}));
  EXPECT_EQ(pids.size(), 2u);
  batch({"/nonexistent/g"});
  ASSERT_TRUE(run_until_batches(2));
  EXPECT_EQ(events, (events_t{failed("/nonexistent/f"), "delimit", failed("/nonexistent/g"), "delimit"}));
}

TEST_F(broker_test, failed_respawn_still_completes_the_batch) {
  start(FAKE_WORKER);
  metadata_set_worker_path_for_testing("/nonexistent/worker");
  batch({"hang", "next"});
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, events_t{"delimit"});
  EXPECT_EQ(log.count("Failed to respawn metadata process!\n"), 1);
  EXPECT_EQ(count_logged("Failed to request metadata for "), 2);
  EXPECT_FALSE(metadata_request("later"));
}

TEST_F(broker_test, missing_worker_fails_the_start_and_leaves_nothing_open) {
  metadata_set_worker_path_for_testing("/nonexistent/worker");
  int pid = 0;
  EXPECT_FALSE(metadata_new(&pid));
  EXPECT_EQ(log.count("Failed to allocate and spawn child!\n"), 1);
  EXPECT_TRUE(pids.empty());
  EXPECT_FALSE(metadata_request("/nonexistent/h"));
}

} // namespace

// The broker with real processes: what its I/O shell does with pipes,
// signals and spawns. The rules themselves are the lane's table tests.
#include "broker_fixture.h"

#include "broker/broker.h"
#include "broker/broker_testing.h"

#include <signal.h>
#include <sys/wait.h>


namespace {

using events_t = std::vector<std::string>;

std::string fake(const std::string &path) { return path + " => {\"path\":\"" + path + "\"}"; }
std::string failed(const std::string &path) { return path + " => " + failed_json; }
std::string toxic(const std::string &path) { return path + " => " + toxic_json; }

TEST_F(broker_test, answers_in_pieces_or_holding_a_separator_are_read_whole) {
  // The pieces take longer in all than the time-out: each one gives the
  // answer its full time again.
  start(FAKE_WORKER, 1);
  batch({"separator", "split", "after"});
  ASSERT_TRUE(run_until_batches(1));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "separator => {\"path\":\"a\xe2\x80\xa9" "b\"}");
  EXPECT_EQ(events[1].rfind("split => {\"path\":\"split\",\"filler\":\"fff", 0), 0u);
  EXPECT_EQ(events[1].size(), std::string("split => {\"path\":\"split\",\"filler\":\"\"}").size() + 200000);
  EXPECT_EQ(events[2], fake("after"));
  EXPECT_EQ(log.count("Line was short!\n"), 1);
  EXPECT_EQ(pids.size(), 1u);
}

TEST_F(broker_test, a_hung_file_stalls_only_its_own_lane) {
  start(FAKE_WORKER, 0, 2);
  batch({"hang"});
  batch({"other"}); // the first lane has one unanswered path: the second takes this
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{fake("other"), "delimit"}));
  EXPECT_EQ(pids.size(), 2u);
  // Freeing drops what is still queued without a word; the idle worker ends
  // on the end of its input, the busy one is killed, as it would never read it.
  EXPECT_TRUE(metadata_request("/nonexistent/queued"));
  EXPECT_FALSE(metadata_queue_is_empty());
  metadata_free();
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); i++) {
  }
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(metadata_queue_is_empty());
  int status = reap(pids[0]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  status = reap(pids[1]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 11) << status;
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
  // Each of the four died of its signal, or of the broker's SIGKILL on its
  // time-out.
  int expected_signal = GetParam() == 0 ? SIGKILL : GetParam();
  for (int i = 0; i < 4; i++) {
    int status = reap(pids[i]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == expected_signal) << status;
  }
}

INSTANTIATE_TEST_SUITE_P(deaths, broker_death_test, ::testing::Values(SIGKILL, SIGSEGV, 0));

TEST_F(broker_test, write_to_a_dead_worker_sends_the_request_to_a_new_worker_without_blame) {
  start();
  ASSERT_EQ(kill(pids[0], SIGKILL), 0);
  reap(pids[0]); // dead for sure, its hang-up not yet handled
  batch({"/nonexistent/f"});
  EXPECT_EQ(events, events_t{}) << "the request waits for the hang-up, it is not dropped";
  EXPECT_EQ(log.count("Failed to request metadata for 1:/nonexistent/f\n\n"), 1);
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (events_t{failed("/nonexistent/f"), "delimit"}));
  EXPECT_EQ(pids.size(), 2u);
  EXPECT_EQ(count_logged("First time parser died"), 0);
}

TEST_F(broker_test, missing_worker_fails_the_start_and_leaves_nothing_open) {
  metadata_set_worker_path_for_testing("/nonexistent/worker");
  int pid = 0;
  EXPECT_FALSE(metadata_new(&pid));
  EXPECT_EQ(count_logged("Failed to allocate and spawn child! /nonexistent/worker: "), 1);
  EXPECT_TRUE(pids.empty());
  EXPECT_FALSE(metadata_request("/nonexistent/h"));
}

} // namespace

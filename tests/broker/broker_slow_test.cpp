#include "broker_fixture.h"

#include <chrono>

namespace {

// The product's own 60-second time-out, end to end: a file that hangs the
// worker costs two full time-outs before it is reported toxic.
TEST_F(broker_test, hanging_file_is_toxic_after_two_real_time_outs) {
  if (!test_hook_built)
    GTEST_SKIP() << "needs a build configured with -DMS_TEST_HOOKS=ON";
  start();
  auto begin = std::chrono::steady_clock::now();
  batch({hook_path, "/nonexistent/h"});
  ASSERT_TRUE(run_until_batches(1, 300));
  auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(events, (std::vector<std::string>{std::string(hook_path) + " => " + toxic_json,
                                              std::string("/nonexistent/h => ") + failed_json, "delimit"}));
  EXPECT_EQ(count_logged("First time parser died on us"), 1);
  EXPECT_EQ(pids.size(), 3u);
  // Not a speed check: the time-out must not be shorter than the product's.
  EXPECT_GE(waited, std::chrono::seconds(118));
}

} // namespace

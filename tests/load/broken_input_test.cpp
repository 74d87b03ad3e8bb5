// A worker that dies between two requests, its answer read but its death
// not yet seen: the next request line can't be written. That request, and
// every one queued after it, must still be answered by a new worker.
#include "broker/broker.h"
#include "broker/broker_fixture.h"

#include <gtest/gtest.h>

namespace {

using BrokenWorkerInput = broker_test;

TEST_F(BrokenWorkerInput, RequestsAfterAFailedWriteGoToANewWorker) {
  start(DEAF_WORKER);
  batch({"/a", "/b", "/c"});
  ASSERT_TRUE(run_until_batches(1));
  EXPECT_EQ(events, (std::vector<std::string>{"/a => {\"path\":\"\\/a\"}", "/b => {\"path\":\"\\/b\"}",
                                              "/c => {\"path\":\"\\/c\"}", "delimit"}));
  // Each worker answers once and goes deaf: two writes fail, two respawns.
  EXPECT_EQ(pids.size(), 3u);
  EXPECT_EQ(count_logged("Failed to request metadata for "), 2);
  EXPECT_EQ(count_logged("Toxic file "), 0);
}

TEST_F(BrokenWorkerInput, ALaterBatchIsServedAfterTheRespawn) {
  start(DEAF_WORKER);
  batch({"/first"});
  ASSERT_TRUE(run_until_batches(1));
  // The worker has answered and gone deaf; the next batch finds out.
  batch({"/second"});
  ASSERT_TRUE(run_until_batches(2));
  EXPECT_EQ(events, (std::vector<std::string>{"/first => {\"path\":\"\\/first\"}", "delimit",
                                              "/second => {\"path\":\"\\/second\"}", "delimit"}));
}

} // namespace

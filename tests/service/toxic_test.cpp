// A file that hangs the worker, in a batch of ordinary files, at the
// service's real time-outs: the batch is answered after the worker was
// killed twice, with the file reported toxic in its place; meanwhile a
// second caller is answered by another lane.
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

using ToxicFile = running_service;

TEST_F(ToxicFile, IsReportedInItsPlaceAfterTwoTimeOutsAndHoldsOnlyItsLane) {
  if (!test_hook_built)
    GTEST_SKIP() << "needs a build configured with -DMS_TEST_HOOKS=ON";
  temp_dir files;
  std::string before = files.write("before.m3u", "#EXTM3U\n/music/a.mp3\n");
  std::string after = files.write("after.pls", "[playlist]\nFile1=/music/b.mp3\nNumberOfEntries=1\nVersion=2\n");
  const std::string toxic = "::test::toxic::neverreturn::";

  auto begin = std::chrono::steady_clock::now();
  call_result hung;
  call_async(client.get(), service_bus_name, "parse", payload_for({before, toxic, after}), &hung, 300000);
  // Calls on one connection are handled in order: once this empty one is
  // answered, the batch above is queued.
  ASSERT_TRUE(call_parse(client.get(), payload_for({})).done);
  if (sysconf(_SC_NPROCESSORS_ONLN) > 1) {
    connection_ptr second(bus_connect(bus.address));
    call_result quick = call_parse(second.get(), payload_for({before}), 300000);
    EXPECT_FALSE(hung.done) << "the second caller waited behind the hung file";
    EXPECT_EQ(plain(quick.reply), expected_reply({before}));
  }
  ASSERT_TRUE(run_until([&] { return hung.done; }, 300000));
  auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(plain(hung.reply), "{\"returnValue\":true,\"files\":[" + expected_entry(before) + "," +
                                   expected_entry(toxic, "{\"returnValue\":false,\"toxic\":true}") + "," +
                                   expected_entry(after) + "]}")
      << hung.error_name << " " << hung.error_text;
  // Not a speed check: the file took two whole time-outs, no fewer.
  EXPECT_GE(waited, std::chrono::seconds(118));
  // The service goes on with a fresh worker.
  EXPECT_EQ(plain(call_parse(client.get(), payload_for({before})).reply), expected_reply({before}));

  stop();
  std::string errors = bus.errors();
  auto count = [&errors](const std::string &text) {
    size_t n = 0;
    for (size_t at = errors.find(text); at != std::string::npos; at = errors.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("First time parser died on us"), 1u) << errors;
  EXPECT_EQ(count("Toxic file"), 1u) << errors;
}

} // namespace

// Many callers at once: each on its own connection, each with its own list in
// its own order. Every reply must hold exactly its caller's files, in order,
// each with its full record.
#include "load_support.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

constexpr size_t callers = 20;
constexpr size_t files_per_caller = 50;

using Concurrency = running_service;

TEST_F(Concurrency, EveryCallerGetsItsOwnFilesInItsOwnOrder) {
  unsigned seed = load_seed(4242);
  std::mt19937 rng(seed);
  temp_dir files;
  corpus c = load_corpus(files, 240);
  std::vector<std::string> pool = corpus_paths(c);
  // Paths the worker can't open belong in a reply too.
  pool.push_back(files.path + "/missing.mp3");
  pool.push_back(files.path + "/missing/deeper.m4a");

  std::vector<std::vector<std::string>> lists(callers);
  std::vector<std::string> wanted(callers);
  for (size_t i = 0; i < callers; ++i) {
    std::vector<std::string> shuffled = pool;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    lists[i].assign(shuffled.begin(), shuffled.begin() + files_per_caller);
    wanted[i] = expected_reply(lists[i]);
  }

  std::vector<connection_ptr> connections(callers);
  std::vector<call_result> results(callers);
  for (size_t i = 0; i < callers; ++i) {
    connections[i].reset(bus_connect(bus.address));
    call_async(connections[i].get(), service_bus_name, "parse", payload_for(lists[i]), &results[i], 120000);
  }
  bool all = run_until(
      [&] { return std::all_of(results.begin(), results.end(), [](const call_result &r) { return r.done; }); },
      120000);
  EXPECT_TRUE(all) << "not every caller got a reply";

  for (size_t i = 0; i < callers; ++i) {
    EXPECT_EQ(results[i].error_name, "") << "caller " << i << ": " << results[i].error_text;
    EXPECT_TRUE(plain(results[i].reply) == wanted[i])
        << "caller " << i << " got another reply than its own: " << plain(results[i].reply).substr(0, 400);
  }
  EXPECT_EQ(bus_owner_pid(client.get(), service_bus_name), service);
}

} // namespace

// Fault injection: large batches from more callers at once than the service
// has lanes, each on its own connection, while their workers are killed with
// SIGKILL or SIGSEGV at seeded random moments, and on some slow files while
// they parse them. Every path, missing files included, must still get
// exactly one entry in its caller's reply, in order: its full record, or the
// toxic record when (and only when) the service reports it toxic; nothing
// else may be lost or go to another caller. (Which death makes a file toxic is the
// lane's table test and the broker's death test, with real workers.)
#include "load_support.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <random>
#include <set>

namespace {

constexpr size_t batch_files = 600;
constexpr size_t callers = 5; // more calls than the most lanes there are
constexpr size_t slow_files = 6;
constexpr int random_kill_budget = 24;
constexpr double random_kill_chance = 1.0 / 25; // per millisecond tick
const char *const toxic_record = "{\"returnValue\":false,\"toxic\":true}";

// A playlist just under the parser's size limit: parsing it keeps the file
// open for long enough (tens of milliseconds in a sanitizer build) that the
// killer sees which file the worker is on.
std::string slow_playlist() {
  std::string text = "#EXTM3U\n";
  for (int i = 0; text.size() < 120 * 1024; ++i)
    text += "#EXTINF:" + std::to_string(i % 300) + ",Artist " + std::to_string(i) + "\n/music/a" +
            std::to_string(i % 50) + "/s" + std::to_string(i) + ".mp3\n";
  return text;
}

// Files under `dir` that process `pid` holds open.
std::set<std::string> open_files(pid_t pid, const std::string &dir) {
  std::set<std::string> found;
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  GDir *listing = g_dir_open(fds.c_str(), 0, nullptr);
  if (listing == nullptr)
    return found;
  while (const char *name = g_dir_read_name(listing)) {
    g_autofree char *target = g_file_read_link((fds + "/" + name).c_str(), nullptr);
    if (target != nullptr && g_str_has_prefix(target, (dir + "/").c_str()))
      found.insert(target);
  }
  g_dir_close(listing);
  return found;
}

// The paths of the request lines ("ID:PATH") logged after `marker`, in order;
// the broker logs each line with its own line feed.
std::vector<std::string> logged_paths(const std::string &log, const std::string &marker) {
  std::vector<std::string> paths;
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    size_t colon = log.find(':', at + marker.size()), end = log.find('\n', at + marker.size());
    paths.push_back(colon < end ? log.substr(colon + 1, end == std::string::npos ? end : end - colon - 1) : "");
  }
  return paths;
}

struct killer {
  std::string address;
  std::string dir;
  std::mt19937 rng;
  std::set<std::string> slow;
  std::set<std::string> hit; // slow files whose worker was killed on them
  std::vector<pid_t> workers;
  size_t most = 0;
  pid_t newest = 0;
  int ticks = 0;
  int kills = 0;
  int random_kills = 0;

  int next_signal() { return std::uniform_int_distribution<int>(0, 1)(rng) == 0 ? SIGKILL : SIGSEGV; }

  // The running workers. While fewer are known than have run at once (one
  // has gone, its successor may not be up yet) only processes newer than the
  // newest known are looked at, which is cheap enough for every tick; now
  // and then all of them, for lanes that started since.
  bool find_workers() {
    workers.erase(std::remove_if(workers.begin(), workers.end(), [](pid_t w) { return !process_running(w); }),
                  workers.end());
    if (++ticks % 50 == 0 || workers.empty()) {
      workers = worker_pids(address);
    } else if (workers.size() < most) {
      for (pid_t fresh : worker_pids(address, newest))
        workers.push_back(fresh);
    }
    for (pid_t w : workers)
      newest = std::max(newest, w);
    most = std::max(most, workers.size());
    return !workers.empty();
  }

  void kill_worker(pid_t worker) {
    kill(worker, next_signal());
    ++kills;
    workers.erase(std::remove(workers.begin(), workers.end(), worker), workers.end());
  }

  void tick() {
    bool roll = std::uniform_real_distribution<double>(0, 1)(rng) < random_kill_chance;
    if (!find_workers())
      return;
    std::vector<pid_t> now = workers;
    for (pid_t worker : now) {
      for (const std::string &path : open_files(worker, dir)) {
        if (slow.count(path) != 0 && hit.insert(path).second) {
          kill_worker(worker);
          return;
        }
      }
    }
    if (roll && random_kills < random_kill_budget) {
      kill_worker(now[std::uniform_int_distribution<size_t>(0, now.size() - 1)(rng)]);
      ++random_kills;
    }
  }
};

gboolean killer_tick(gpointer data) {
  static_cast<killer *>(data)->tick();
  return G_SOURCE_CONTINUE;
}

// A SIGSEGV sent from outside must end the worker as a crash does, not
// bring up the sanitizer's report of a bad address.
class FaultInjection : public running_service {
  void SetUp() override {
    const char *asan = getenv("ASAN_OPTIONS");
    start({{"ASAN_OPTIONS", (asan != nullptr && *asan != '\0' ? asan + std::string(":") : "") + "handle_segv=0"}});
  }
};

TEST_F(FaultInjection, EveryPathGetsOneEntryWhileWorkersAreKilled) {
  unsigned seed = load_seed(9001);
  temp_dir files;
  corpus c = load_corpus(files, batch_files - slow_files);
  std::vector<std::string> paths = corpus_paths(c);
  killer k;
  k.rng.seed(seed);
  k.dir = files.path;
  std::string slow_text = slow_playlist();
  for (size_t i = 0; i < slow_files; ++i) {
    std::string path = files.write("slow" + std::to_string(i) + ".m3u", slow_text);
    size_t at = std::uniform_int_distribution<size_t>(0, paths.size())(k.rng);
    paths.insert(paths.begin() + static_cast<std::ptrdiff_t>(at), path);
    k.slow.insert(path);
  }
  ASSERT_EQ(paths.size(), batch_files);
  // Paths the worker can't open belong in a reply too.
  paths.insert(paths.begin() + 17, files.path + "/missing.mp3");
  paths.push_back(files.path + "/missing/deeper.m4a");

  k.address = bus.address;
  ASSERT_TRUE(run_until([&] { return k.find_workers(); }));

  // The paths dealt out in turn, so that every call holds slow files.
  std::vector<std::vector<std::string>> lists(callers);
  for (size_t i = 0; i < paths.size(); ++i)
    lists[i % callers].push_back(paths[i]);
  std::vector<connection_ptr> connections(callers);
  std::vector<call_result> results(callers);
  for (size_t i = 0; i < callers; ++i) {
    connections[i].reset(bus_connect(bus.address));
    call_async(connections[i].get(), service_bus_name, "parse", payload_for(lists[i]), &results[i], 300000);
  }
  guint ticker = g_timeout_add(1, killer_tick, &k);
  bool answered = run_until(
      [&] { return std::all_of(results.begin(), results.end(), [](const call_result &r) { return r.done; }); },
      300000);
  g_source_remove(ticker);
  ASSERT_TRUE(answered) << "no reply to every batch";
  for (const call_result &result : results)
    ASSERT_EQ(result.error_name, "") << result.error_text;
  EXPECT_EQ(bus_owner_pid(client.get(), service_bus_name), service) << "the service went down";
  connections.clear();
  stop();
  std::string log = bus.errors();
  if (getenv("MS_LOAD_KEEP_LOG") != nullptr)
    g_file_set_contents(getenv("MS_LOAD_KEEP_LOG"), log.c_str(), -1, nullptr);

  std::vector<std::string> toxic_logged = logged_paths(log, "Toxic file ");
  std::set<std::string> logged_toxic(toxic_logged.begin(), toxic_logged.end());
  std::vector<std::string> first_deaths = logged_paths(log, "First time parser died on us ");
  std::set<std::string> died_once(first_deaths.begin(), first_deaths.end());

  std::set<std::string> toxic;
  for (size_t call = 0; call < callers; ++call) {
    const std::vector<std::string> &list = lists[call];
    json_ptr reply = parse_json(results[call].reply);
    json_object *entries = nullptr;
    ASSERT_TRUE(reply != nullptr && json_object_object_get_ex(reply.get(), "files", &entries));
    ASSERT_EQ(json_object_array_length(entries), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      json_object *entry = json_object_array_get_idx(entries, i);
      std::string text = json_object_to_json_string_ext(entry, JSON_C_TO_STRING_PLAIN);
      json_object *data = json_object_object_get(entry, "data");
      bool is_toxic = data != nullptr &&
                      std::string(json_object_to_json_string_ext(data, JSON_C_TO_STRING_PLAIN)) == toxic_record;
      if (is_toxic) {
        toxic.insert(list[i]);
        EXPECT_EQ(json_object_get_string(json_object_object_get(entry, "path")), list[i]) << "entry " << i;
      } else {
        EXPECT_TRUE(text == expected_entry(list[i]))
            << "call " << call << " entry " << i << " was lost or changed: " << text.substr(0, 300);
      }
    }
  }

  EXPECT_EQ(toxic, logged_toxic) << "toxic entries and the service's toxic reports differ";
  for (const std::string &path : toxic)
    EXPECT_EQ(died_once.count(path), 1u) << path << " is toxic without a first death";
  EXPECT_LE(first_deaths.size() + logged_toxic.size(), static_cast<size_t>(k.kills))
      << "more deaths reported than workers killed";
  printf("%d kills (%d at random moments, %zu on slow files), %zu first deaths, %zu toxic\n", k.kills,
         k.random_kills, k.hit.size(), first_deaths.size(), toxic.size());
}

} // namespace

// The service end to end: started by the bus on the first call, parsing
// through its worker, answering, joining activities and going away when idle.
#include "qs/bus_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

using names = std::vector<std::string>;

// The service started by hand on the bus at `address`, standard error to `log`.
pid_t start_by_hand(const std::string &address, const char *quit_delay, const std::string &log) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    unsetenv("DBUS_STARTER_ADDRESS");
    setenv("QUIT_DELAY", quit_delay, 1);
    execl(MS_BINARY, MS_BINARY, static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

// The exit status of child `pid`; -1 when it was killed or still runs.
int exit_status(pid_t pid) {
  int status = wait_child(pid, 15000);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each test starts the service with start(), or only the bus and a client
// with start_bus() to start the service by hand.
class Service : public running_service {
protected:
  void SetUp() override {}
  void start_bus(const std::vector<std::pair<std::string, std::string>> &environment) {
    ASSERT_TRUE(bus.start(environment));
    client.reset(bus_connect(bus.address));
    ASSERT_NE(client, nullptr);
  }
  pid_t service_pid() { return bus_owner_pid(client.get(), service_bus_name); }
  call_result parse(const std::vector<std::string> &paths, const std::string &extra = "") {
    return call_parse(client.get(), payload_for(paths, extra));
  }

  temp_dir files;
  std::string playlist = files.write("list.m3u", "#EXTM3U\n#EXTINF:12,Song\n/music/song.mp3\n");
  std::string text = files.write("notes.txt", "not a media file");
  std::string missing = files.path + "/missing.mp3";
};

TEST_F(Service, AnswersEveryPathInOrderWithItsRecord) {
  start();
  call_result empty = parse({});
  EXPECT_EQ(empty.error_name, "");
  EXPECT_EQ(plain(empty.reply), "{\"returnValue\":true,\"files\":[]}");
  // The worker answers an empty path with its id and the reason. A path
  // holding a line end is never sent.
  std::vector<std::string> paths = {playlist, missing, "", "/a\nb", text};
  EXPECT_EQ(plain(parse(paths).reply),
            "{\"returnValue\":true,\"files\":[" + expected_entry(playlist) + "," + expected_entry(missing) + "," +
                expected_entry("") + "," +
                expected_entry("/a\nb", "{\"returnValue\":false,\"errorText\":\"pathHoldsLineEnd\"}") + "," +
                expected_entry(text) + "]}");
}

TEST_F(Service, BadCallsAreRefusedAndTheServiceStaysUp) {
  start();
  struct {
    const char *payload;
    const char *word;
  } cases[] = {
      {"not json", "failedParse"},     {"null", "failedParse"},
      {"{\"files\":[", "failedParse"}, {"{}", "invalidParams"},
      {"{\"files\":\"x\"}", "invalidParams"}, {"{\"files\":{}}", "invalidParams"},
      {"[\"a\"]", "invalidParams"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(plain(call_parse(client.get(), c.payload).reply),
              std::string("{\"returnValue\":false,\"errorText\":\"") + c.word + "\"}")
        << c.payload;
  }
  call_result mixed = call_parse(client.get(), "{\"files\":[\"/nonexistent/a\",5,\"/nonexistent/b\",null]}");
  EXPECT_EQ(plain(mixed.reply), expected_reply({"/nonexistent/a", "/nonexistent/b"}));
  EXPECT_EQ(service_pid(), service);
}

// A reply the bus would not carry costs only its own call: records past the
// call's budget are refused in their place, the service stays up, and a
// second caller's batch, sent meanwhile, is answered whole.
TEST_F(Service, RecordsPastTheReplysBoundAreRefusedInPlace) {
  start();
  // Control bytes are written as six characters each, so this playlist's
  // record is several times its 128 KiB: 64 of them pass the bound and also
  // the 32 MiB a default bus carries.
  std::string line(1000, '\x01');
  std::string big;
  while (big.size() + line.size() + 1 < 131072)
    big += line + "\n";
  std::string big_list = files.write("big.m3u", big);
  std::vector<std::string> many(64, big_list);
  connection_ptr second_client(bus_connect(bus.address));
  call_result large, other;
  call_async(client.get(), service_bus_name, "parse", payload_for(many), &large);
  std::vector<std::string> other_paths = {playlist, text, missing};
  call_async(second_client.get(), service_bus_name, "parse", payload_for(other_paths), &other);
  ASSERT_TRUE(run_until([&] { return large.done && other.done; }, 120000));
  EXPECT_LT(large.reply.size(), 16u * 1024 * 1024);
  json_ptr reply = parse_json(large.reply);
  json_object *entries = nullptr;
  ASSERT_TRUE(reply != nullptr && json_object_object_get_ex(reply.get(), "files", &entries)) << large.error_text;
  ASSERT_EQ(json_object_array_length(entries), many.size());
  const std::string refused = "{\"returnValue\":false,\"errorText\":\"replyTooLarge\"}";
  size_t whole = 0;
  for (size_t i = 0; i < many.size(); ++i) {
    json_object *entry = json_object_array_get_idx(entries, i);
    EXPECT_STREQ(json_object_get_string(json_object_object_get(entry, "path")), big_list.c_str());
    EXPECT_GT(json_object_get_double(json_object_object_get(entry, "size")), 0);
    std::string data = plain(json_object_to_json_string(json_object_object_get(entry, "data")));
    if (data != refused) {
      EXPECT_EQ(whole++, i) << "a whole record after a refused one";
    }
  }
  EXPECT_GT(whole, 0u);
  EXPECT_LT(whole, many.size());
  EXPECT_EQ(plain(other.reply), expected_reply(other_paths)) << other.error_text;

  std::string too_many = "{\"files\":[\"\"";
  for (size_t i = 0; i < 381300; ++i)
    too_many += ",\"\"";
  EXPECT_EQ(plain(call_parse(client.get(), too_many + "]}").reply),
            "{\"returnValue\":false,\"errorText\":\"tooManyFiles\"}");
  EXPECT_EQ(plain(parse({playlist}).reply), expected_reply({playlist}));
  EXPECT_EQ(service_pid(), service);
}

TEST_F(Service, JoinsTheActivityWithTheCurrentWorker) {
  start();
  activity_manager manager(bus.address);
  std::vector<pid_t> workers;
  ASSERT_TRUE(run_until([&] { return (workers = worker_pids(bus.address)).size() == 1; }));
  call_result result = parse({playlist}, ",\"customActivityId\":\"1\",\"activityId\":7");
  EXPECT_EQ(plain(result.reply), expected_reply({playlist}));
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  EXPECT_EQ(manager.calls[0].payload, expected_association(7, workers[0]));
  EXPECT_EQ(manager.calls[1].payload, expected_association(7, workers[0]));
  EXPECT_EQ(manager.methods(), (names{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
}

TEST_F(Service, QuitsWithStatusZeroWhenIdleAndIsStartedAfreshByTheNextCall) {
  start_bus({{"QUIT_DELAY", "1"}});
  std::string log = files.path + "/service.log";
  pid_t first = start_by_hand(bus.address, "1", log);
  ASSERT_TRUE(run_until([&] { return service_pid() == first; }));
  EXPECT_EQ(plain(parse({playlist}).reply), expected_reply({playlist}));
  std::vector<pid_t> workers = worker_pids(bus.address);
  EXPECT_EQ(workers.size(), 1u);
  EXPECT_EQ(exit_status(first), 0) << "the idle service did not quit";
  for (pid_t worker : workers)
    EXPECT_TRUE(wait_process_gone(worker, 15000)) << "its worker did not end";
  EXPECT_EQ(service_pid(), 0);
  EXPECT_NE(read_file(log).find("mediasiftd-demon"), std::string::npos)
      << "the worker logs that its input ended when the service goes";
  EXPECT_EQ(sanitizer_reports(read_file(log)), names{}) << read_file(log);

  // The bus starts the next instance.
  EXPECT_EQ(plain(parse({playlist}).reply), expected_reply({playlist}));
  EXPECT_GT(service_pid(), 0);
  EXPECT_NE(service_pid(), first);
}

TEST_F(Service, StartUpFailsWithStatusFourWithoutItsName) {
  start(); // the bus's instance owns the name
  std::string second_log = files.path + "/second.log", no_bus_log = files.path + "/nobus.log";
  EXPECT_EQ(exit_status(start_by_hand(bus.address, "0", second_log)), 4);
  std::string second = read_file(second_log);
  EXPECT_NE(second.find("Failed to register com.kivo.mediasiftd on the bus! (3)\n"), std::string::npos) << second;
  EXPECT_NE(second.find("Failed to init ipc calls!"), std::string::npos) << second;
  EXPECT_EQ(exit_status(start_by_hand("unix:path=" + files.path + "/no-such-socket", "0", no_bus_log)), 4);
  EXPECT_EQ(sanitizer_reports(second + read_file(no_bus_log)), names{});
}

TEST_F(Service, SigtermDuringABatchStopsTheServiceAndTheCallerHearsOfIt) {
  if (!test_hook_built)
    GTEST_SKIP() << "needs a build configured with -DMS_TEST_HOOKS=ON";
  start_bus({});
  std::string log = files.path + "/service.log";
  pid_t pid = start_by_hand(bus.address, "0", log);
  // The name is owned before the first worker is started.
  std::vector<pid_t> workers;
  ASSERT_TRUE(run_until([&] { return service_pid() == pid && (workers = worker_pids(bus.address)).size() == 1; }));

  call_result result;
  call_async(client.get(), service_bus_name, "parse", payload_for({playlist, "::test::toxic::neverreturn::"}),
             &result);
  // Time for the worker to get stuck on the second file.
  run_until([] { return false; }, 500);
  EXPECT_FALSE(result.done);
  kill(pid, SIGTERM);
  ASSERT_TRUE(run_until([&] { return result.done; }, 15000)) << "the caller was left hanging";
  EXPECT_NE(result.error_name, "");
  EXPECT_EQ(exit_status(pid), 0);
  EXPECT_NE(read_file(log).find("SIGTERM hit! exiting main loop.\n"), std::string::npos) << read_file(log);
  EXPECT_EQ(sanitizer_reports(read_file(log)), names{}) << read_file(log);
  // A worker spinning on the hook path never reads its end of input.
  for (pid_t worker : workers)
    kill(worker, SIGKILL);
}

} // namespace

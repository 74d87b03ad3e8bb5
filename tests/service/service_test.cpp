// The service end to end: started by the bus on the first call, parsing
// through its worker, answering, joining activities and going away when idle.
#include "bus/ipc.h"
#include "qs/bus_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

const char *const toxic_path = "::test::toxic::neverreturn::";

std::string plain(const std::string &text) {
  json_ptr value = parse_json(text);
  if (value == nullptr)
    return "(not JSON) " + text;
  return json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN);
}

std::string payload_for(const std::vector<std::string> &paths, const std::string &extra = "") {
  json_ptr files(json_object_new_array());
  for (const std::string &p : paths)
    json_object_array_add(files.get(), json_object_new_string(p.c_str()));
  return std::string("{\"files\":") + json_object_to_json_string_ext(files.get(), JSON_C_TO_STRING_PLAIN) + extra +
         "}";
}

// The entry the service must give `path`, built here from the file and an
// in-process parse: path, size, modified, data, in that order.
std::string expected_entry(const std::string &path) {
  json_ptr entry(json_object_new_object());
  add_field(entry.get(), "path", path.c_str());
  struct stat info {};
  bool exists = stat(path.c_str(), &info) == 0;
  add_field(entry.get(), "size", exists ? static_cast<double>(info.st_size) : 0.0);
  add_field(entry.get(), "modified", exists ? static_cast<double>(info.st_mtime) : 0.0);
  json_ptr record = record_of(path);
  json_object_object_add(entry.get(), "data",
                         record != nullptr ? record.release() : json_tokener_parse("{\"returnValue\":false}"));
  return json_object_to_json_string_ext(entry.get(), JSON_C_TO_STRING_PLAIN);
}

std::string expected_reply(const std::vector<std::string> &paths) {
  std::string out = "{\"returnValue\":true,\"files\":[";
  for (size_t i = 0; i < paths.size(); ++i)
    out += (i > 0 ? "," : "") + expected_entry(paths[i]);
  return out + "]}";
}

class Service : public ::testing::Test {
protected:
  void start(const std::vector<std::pair<std::string, std::string>> &environment = {}) {
    ASSERT_TRUE(bus.start(environment));
    client = bus_connect(bus.address);
    ASSERT_NE(client, nullptr);
    playlist = files.write("list.m3u", "#EXTM3U\n#EXTINF:12,Song\n/music/song.mp3\n");
    text = files.write("notes.txt", "not a media file");
    missing = files.path + "/missing.mp3";
  }
  void TearDown() override {
    if (client != nullptr) {
      g_dbus_connection_close_sync(client, nullptr, nullptr);
      g_object_unref(client);
    }
    bus.stop();
    EXPECT_EQ(sanitizer_reports(bus.errors()), std::vector<std::string>{}) << bus.errors();
  }
  pid_t service_pid() { return name_owner_pid(client, service_bus_name); }

  private_bus bus;
  temp_dir files;
  GDBusConnection *client = nullptr;
  std::string playlist, text, missing;
};

TEST_F(Service, AnEmptyListIsAnsweredAtOnce) {
  start();
  call_result result = call_parse(client, "{\"files\":[]}");
  ASSERT_TRUE(result.done) << "no answer";
  EXPECT_EQ(result.error_name, "");
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[]}");
}

TEST_F(Service, AnswersEveryPathInOrderWithItsRecord) {
  start();
  std::vector<std::string> paths = {playlist, missing, text};
  call_result result = call_parse(client, payload_for(paths));
  ASSERT_TRUE(result.done);
  EXPECT_EQ(plain(result.reply), expected_reply(paths));
  json_ptr reply = parse_json(result.reply);
  json_object *entries = json_object_object_get(reply.get(), "files");
  ASSERT_EQ(json_object_array_length(entries), 3u);
  for (size_t i = 0; i < 3; ++i) {
    json_object *entry = json_object_array_get_idx(entries, i);
    EXPECT_TRUE(json_object_is_type(json_object_object_get(entry, "size"), json_type_double));
    EXPECT_TRUE(json_object_is_type(json_object_object_get(entry, "modified"), json_type_double));
  }
  EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(json_object_array_get_idx(entries, 1), "data"),
                                              JSON_C_TO_STRING_PLAIN),
               "{\"returnValue\":false}");
}

TEST_F(Service, BadCallsAreRefusedAndTheServiceStaysUp) {
  start();
  ASSERT_TRUE(call_parse(client, "{\"files\":[]}").done);
  pid_t pid = service_pid();
  ASSERT_GT(pid, 0);
  struct {
    const char *payload;
    const char *reply;
  } cases[] = {
      {"not json", "{\"returnValue\":false,\"errorText\":\"failedParse\"}"},
      {"{}", "{\"returnValue\":false,\"errorText\":\"invalidParams\"}"},
      {"{\"files\":\"x\"}", "{\"returnValue\":false,\"errorText\":\"invalidParams\"}"},
  };
  for (const auto &c : cases) {
    call_result result = call_parse(client, c.payload);
    EXPECT_EQ(plain(result.reply), c.reply) << c.payload;
  }
  call_result mixed = call_parse(client, "{\"files\":[\"/nonexistent/a\",5,\"/nonexistent/b\"]}");
  EXPECT_EQ(plain(mixed.reply), expected_reply({"/nonexistent/a", "/nonexistent/b"}));
  EXPECT_EQ(service_pid(), pid);
}

TEST_F(Service, ALostAnswerCostsOnlyItsOwnEntry) {
  start();
  // The worker answers an empty path without an id; the broker drops it.
  call_result result = call_parse(client, payload_for({playlist, "", text}));
  ASSERT_TRUE(result.done);
  std::string lost = "{\"path\":\"\",\"size\":0.0,\"modified\":0.0,\"data\":{\"returnValue\":false}}";
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[" + expected_entry(playlist) + "," + lost + "," +
                                     expected_entry(text) + "]}");
}

TEST_F(Service, CallsSentBackToBackAreAnsweredInOrder) {
  start();
  ASSERT_TRUE(call_parse(client, "{\"files\":[]}").done); // started
  std::vector<std::string> first_paths = {playlist, text, missing, playlist};
  std::vector<std::string> second_paths = {text, playlist};
  call_result first, second;
  call_async(client, service_bus_name, "parse", payload_for(first_paths), &first);
  call_async(client, service_bus_name, "parse", payload_for(second_paths), &second);
  // The first reply must be in before the second.
  bool second_before_first = false;
  ASSERT_TRUE(run_until([&] {
    second_before_first = second_before_first || (second.done && !first.done);
    return first.done && second.done;
  }));
  EXPECT_FALSE(second_before_first);
  EXPECT_EQ(plain(first.reply), expected_reply(first_paths));
  EXPECT_EQ(plain(second.reply), expected_reply(second_paths));
}

TEST_F(Service, JoinsTheActivityWithTheCurrentWorker) {
  start();
  activity_manager manager(bus.address);
  ASSERT_TRUE(call_parse(client, "{\"files\":[]}").done);
  std::vector<pid_t> workers;
  ASSERT_TRUE(run_until([&] { return (workers = worker_pids(bus.address)).size() == 1; }));

  call_result result = call_parse(client, payload_for({playlist}, ",\"customActivityId\":\"1\",\"activityId\":7"));
  EXPECT_EQ(plain(result.reply), expected_reply({playlist}));
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  g_autofree char *payload = activity_payload(7, workers[0]);
  EXPECT_EQ(manager.calls[0].payload, payload);
  EXPECT_EQ(manager.calls[1].payload, payload);
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
}

TEST_F(Service, QuitsWhenIdleAndIsStartedAfreshByTheNextCall) {
  start({{"QUIT_DELAY", "1"}});
  ASSERT_TRUE(call_parse(client, payload_for({playlist})).done);
  pid_t first = service_pid();
  ASSERT_GT(first, 0);
  std::vector<pid_t> workers = worker_pids(bus.address);
  EXPECT_TRUE(wait_process_gone(first, 15000)) << "the idle service did not quit";
  for (pid_t worker : workers)
    EXPECT_TRUE(wait_process_gone(worker, 15000)) << "its worker did not end";
  EXPECT_EQ(service_pid(), 0);
  EXPECT_NE(bus.errors().find("mediasiftd-demon"), std::string::npos)
      << "the worker logs that its input ended when the service goes";

  call_result again = call_parse(client, payload_for({playlist}));
  EXPECT_EQ(plain(again.reply), expected_reply({playlist}));
  pid_t second = service_pid();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
}

// Start-up itself: the service started by hand on the private bus.
struct hand_started {
  pid_t pid = -1;
  std::string log_path;
  int status = -1;
  bool run(const std::string &address, const std::string &quit_delay, const std::string &log) {
    log_path = log;
    pid = fork();
    if (pid == 0) {
      int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, STDERR_FILENO);
      setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
      unsetenv("DBUS_STARTER_ADDRESS");
      setenv("QUIT_DELAY", quit_delay.c_str(), 1);
      execl(MS_BINARY, MS_BINARY, static_cast<char *>(nullptr));
      _exit(127);
    }
    return pid > 0;
  }
  bool wait(int timeout_ms) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
    while (g_get_monotonic_time() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid)
        return true;
      g_usleep(10000);
    }
    return false;
  }
  std::string log() const { return read_file(log_path); }
};

TEST_F(Service, StartedByHandItQuitsWithStatusZeroWhenIdle) {
  start();
  hand_started service;
  ASSERT_TRUE(service.run(bus.address, "1", files.path + "/service.log"));
  ASSERT_TRUE(run_until([&] { return service_pid() == service.pid; }));
  ASSERT_TRUE(service.wait(15000)) << "the service did not quit";
  EXPECT_TRUE(WIFEXITED(service.status));
  EXPECT_EQ(WEXITSTATUS(service.status), 0);
  EXPECT_EQ(sanitizer_reports(service.log()), std::vector<std::string>{}) << service.log();
}

TEST_F(Service, StartUpFailsWithStatusFourWithoutItsName) {
  start();
  ASSERT_TRUE(call_parse(client, "{\"files\":[]}").done); // the bus's instance owns the name
  hand_started second;
  ASSERT_TRUE(second.run(bus.address, "0", files.path + "/second.log"));
  ASSERT_TRUE(second.wait(15000));
  EXPECT_EQ(WEXITSTATUS(second.status), 4);
  EXPECT_NE(second.log().find("Failed to init ipc calls!"), std::string::npos) << second.log();

  hand_started no_bus;
  ASSERT_TRUE(no_bus.run("unix:path=" + files.path + "/no-such-socket", "0", files.path + "/nobus.log"));
  ASSERT_TRUE(no_bus.wait(15000));
  EXPECT_EQ(WEXITSTATUS(no_bus.status), 4);
  EXPECT_EQ(sanitizer_reports(second.log() + no_bus.log()), std::vector<std::string>{});
}

TEST_F(Service, SigtermDuringABatchStopsTheServiceAndTheCallerHearsOfIt) {
  start();
  hand_started service;
  ASSERT_TRUE(service.run(bus.address, "0", files.path + "/service.log"));
  // The name is owned before the first worker is started.
  std::vector<pid_t> workers;
  ASSERT_TRUE(run_until([&] {
    workers = worker_pids(bus.address);
    return service_pid() == service.pid && workers.size() == 1;
  }));

  call_result result;
  call_async(client, service_bus_name, "parse", payload_for({playlist, toxic_path}), &result);
  // The worker is stuck on the second file once the first is answered; give
  // the call time to get there, then stop the service.
  run_until([] { return false; }, 500);
  EXPECT_FALSE(result.done);
  kill(service.pid, SIGTERM);
  ASSERT_TRUE(run_until([&] { return result.done; }, 15000)) << "the caller was left hanging";
  EXPECT_NE(result.error_name, "");
  ASSERT_TRUE(service.wait(15000));
  EXPECT_TRUE(WIFEXITED(service.status));
  EXPECT_EQ(WEXITSTATUS(service.status), 0);
  EXPECT_NE(service.log().find("SIGTERM hit! exiting main loop.\n"), std::string::npos) << service.log();
  EXPECT_EQ(sanitizer_reports(service.log()), std::vector<std::string>{}) << service.log();
  // A worker spinning on the hook path never reads its end of input.
  for (pid_t worker : workers)
    kill(worker, SIGKILL);
}

} // namespace

// The parse method, replies and activity association, with the service's bus
// side running in this process on a private bus and a test handler in place
// of the batch collector.
#include "bus/ipc.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum class handler_mode { answer_empty, keep, refuse };

handler_mode mode;
std::vector<std::vector<std::string>> handed_paths;
std::vector<parse_request *> kept;

bool test_queue(GArray const *paths, void *context) {
  std::vector<std::string> copy;
  for (guint i = 0; i < paths->len; ++i)
    copy.push_back(g_array_index(paths, char *, i));
  handed_paths.push_back(copy);
  switch (mode) {
  case handler_mode::refuse:
    return false;
  case handler_mode::keep:
    kept.push_back(static_cast<parse_request *>(context));
    return true;
  case handler_mode::answer_empty: {
    GArray *empty = g_array_new(FALSE, FALSE, sizeof(double));
    quarn_ipc_reap(empty, empty, empty, context);
    g_array_free(empty, TRUE);
    return true;
  }
  }
  return false;
}

// JSON text in json-c's plain form, for comparing replies whole.
std::string plain(const std::string &text) {
  json_ptr value = parse_json(text);
  if (value == nullptr)
    return "(not JSON) " + text;
  return json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN);
}

GArray *text_array(const std::vector<const char *> &texts) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(char *));
  for (const char *t : texts) {
    char *copy = g_strdup(t);
    g_array_append_val(array, copy);
  }
  return array;
}

GArray *double_array(const std::vector<double> &values) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(double));
  for (double v : values)
    g_array_append_val(array, v);
  return array;
}

class BusService : public ::testing::Test {
protected:
  void SetUp() override {
    mode = handler_mode::answer_empty;
    handed_paths.clear();
    kept.clear();
    ASSERT_TRUE(bus.start({}, false));
    g_setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), TRUE);
    g_unsetenv("DBUS_STARTER_ADDRESS");
    loop = g_main_loop_new(nullptr, FALSE);
    ASSERT_TRUE(quarn_ipc_new(loop));
    quarn_ipc_register_queue(test_queue);
    client = bus_connect(bus.address);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    for (parse_request *request : kept)
      quarn_ipc_release_request(request);
    kept.clear();
    quarn_ipc_free();
    if (client != nullptr) {
      g_dbus_connection_close_sync(client, nullptr, nullptr);
      g_object_unref(client);
    }
    g_main_loop_unref(loop);
    bus.stop();
  }

  private_bus bus;
  GMainLoop *loop = nullptr;
  GDBusConnection *client = nullptr;
};

TEST_F(BusService, RefusesBadPayloadsWithTheirWordAndStaysUp) {
  struct {
    const char *payload;
    const char *word;
  } cases[] = {
      {"not json", "failedParse"},
      {"null", "failedParse"},
      {"{\"files\":[", "failedParse"},
      {"{}", "invalidParams"},
      {"{\"files\":\"x\"}", "invalidParams"},
      {"{\"files\":{}}", "invalidParams"},
      {"[\"a\"]", "invalidParams"},
  };
  for (const auto &c : cases) {
    call_result result = call_parse(client, c.payload);
    ASSERT_TRUE(result.done) << c.payload;
    EXPECT_EQ(plain(result.reply), std::string("{\"returnValue\":false,\"errorText\":\"") + c.word + "\"}")
        << c.payload;
  }
  EXPECT_TRUE(handed_paths.empty());
  call_result after = call_parse(client, "{\"files\":[]}");
  EXPECT_EQ(plain(after.reply), "{\"returnValue\":true,\"files\":[]}");
}

TEST_F(BusService, HandsOnlyTheStringPathsInOrder) {
  call_result result = call_parse(client, "{\"files\":[\"a\",5,\"b\",null,\"\"]}");
  ASSERT_TRUE(result.done);
  ASSERT_EQ(handed_paths.size(), 1u);
  EXPECT_EQ(handed_paths[0], (std::vector<std::string>{"a", "b", ""}));
}

TEST_F(BusService, ARefusedRequestIsAnsweredAndLeavesNoOpenCall) {
  activity_manager manager(bus.address);
  quarn_ipc_associate(321);
  mode = handler_mode::refuse;
  log_capture logs;
  call_result result = call_parse(client, "{\"files\":[\"a\"],\"activityId\":4}");
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":false,\"errorText\":\"failedMetadata\"}");
  EXPECT_EQ(logs.count("Parse already in progress\n"), 1);
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
}

TEST_F(BusService, ChoosesTheActivityIdByPrecedence) {
  struct {
    const char *payload;
    int expected; // -1: no association
  } cases[] = {
      {"{\"files\":[],\"customActivityId\":3,\"activityId\":7,\"$activity\":{\"activityId\":9}}", 3},
      {"{\"files\":[],\"customActivityId\":\"12\",\"activityId\":7}", 7},
      {"{\"files\":[],\"activityId\":7,\"$activity\":{\"activityId\":9}}", 7},
      {"{\"files\":[],\"$activity\":{\"activityId\":9}}", 9},
      {"{\"files\":[],\"activityId\":\"7\"}", -1},
      {"{\"files\":[],\"activityId\":7.5}", -1},
      {"{\"files\":[],\"$activity\":null}", -1},
      {"{\"files\":[],\"$activity\":5}", -1},
      {"{\"files\":[],\"$activity\":{\"activityId\":\"9\"}}", -1},
  };
  quarn_ipc_associate(321);
  for (const auto &c : cases) {
    activity_manager manager(bus.address);
    call_result result = call_parse(client, c.payload);
    EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[]}") << c.payload;
    if (c.expected < 0) {
      run_until([] { return false; }, 50);
      EXPECT_TRUE(manager.calls.empty()) << c.payload;
      continue;
    }
    ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; })) << c.payload;
    g_autofree char *payload = activity_payload(c.expected, 321);
    EXPECT_EQ(manager.calls[0].payload, payload) << c.payload;
    EXPECT_EQ(manager.calls[1].payload, payload) << c.payload;
    EXPECT_EQ(manager.methods(),
              (std::vector<std::string>{"join", "mapProcess", "cancel join", "cancel mapProcess"}))
        << c.payload;
  }
}

TEST_F(BusService, AssociationPayloadIsExact) {
  g_autofree char *payload = activity_payload(7, 321);
  EXPECT_STREQ(payload, "{\"activityId\":7,\"name\":\"com.kivo.dirwatchd\",\"ids\":[\"serviceId:com.kivo.dirwatchd\","
                        "\"serviceId:com.kivo.dirwatchd.js\",\"serviceId:com.kivo.mediasiftd\"],"
                        "\"subscribe\":true,\"pid\":321}");
}

TEST_F(BusService, WithoutAWorkerPidOnlyJoinIsSent) {
  activity_manager manager(bus.address);
  call_parse(client, "{\"files\":[],\"activityId\":7}");
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 2; }));
  run_until([] { return false; }, 50);
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "cancel join"}));
  EXPECT_NE(manager.calls[0].payload.find("\"pid\":0}"), std::string::npos);
}

TEST_F(BusService, OpenRequestsKeepTheWorkerTheyWereMappedTo) {
  activity_manager manager(bus.address);
  mode = handler_mode::keep;
  quarn_ipc_associate(321);
  call_result first;
  call_async(client, service_bus_name, "parse", "{\"files\":[\"a\"],\"activityId\":1}", &first);
  ASSERT_TRUE(run_until([&] { return kept.size() == 1; }));
  quarn_ipc_associate(654);
  call_result second;
  call_async(client, service_bus_name, "parse", "{\"files\":[\"b\"],\"activityId\":2}", &second);
  ASSERT_TRUE(run_until([&] { return kept.size() == 2 && manager.calls.size() == 4; }));
  std::vector<std::string> mapped;
  for (const auto &c : manager.calls)
    if (c.method == "mapProcess")
      mapped.push_back(c.payload.substr(c.payload.find("\"pid\":")));
  EXPECT_EQ(mapped, (std::vector<std::string>{"\"pid\":321}", "\"pid\":654}"}));
  EXPECT_FALSE(first.done);
  EXPECT_FALSE(second.done);

  // Answering the first ends its calls, join first, and leaves the second's.
  GArray *results = text_array({"{\"returnValue\":false}"});
  GArray *sizes = double_array({0});
  quarn_ipc_reap(results, sizes, sizes, kept[0]);
  kept.erase(kept.begin());
  string_array_free_all(&results);
  g_array_free(sizes, TRUE);
  ASSERT_TRUE(run_until([&] { return first.done && manager.calls.size() == 6; }));
  EXPECT_EQ(manager.methods()[4], "cancel join");
  EXPECT_EQ(manager.methods()[5], "cancel mapProcess");
  EXPECT_EQ(manager.cancelled_method(manager.calls[4]), "join");
  EXPECT_EQ(plain(first.reply), "{\"returnValue\":true,\"files\":[{\"path\":\"a\",\"size\":0.0,\"modified\":0.0,"
                                "\"data\":{\"returnValue\":false}}]}");
  EXPECT_FALSE(second.done);
}

TEST_F(BusService, ReapEscapesPathBytesThatAreNotUtf8) {
  mode = handler_mode::keep;
  call_result result;
  call_async(client, service_bus_name, "parse", "{\"files\":[\"placeholder\"]}", &result);
  ASSERT_TRUE(run_until([&] { return kept.size() == 1; }));
  // Paths reach the service from the file system too; stand one in whose
  // bytes are not UTF-8.
  parse_request *request = kept[0];
  kept.clear();
  g_free(g_array_index(request->files, char *, 0));
  g_array_index(request->files, char *, 0) = g_strdup("/music/caf\xe9");
  GArray *results = text_array({"{\"returnValue\":false}"});
  GArray *sizes = double_array({12});
  GArray *modified = double_array({34});
  quarn_ipc_reap(results, sizes, modified, request);
  string_array_free_all(&results);
  g_array_free(sizes, TRUE);
  g_array_free(modified, TRUE);
  ASSERT_TRUE(run_until([&] { return result.done; }));
  // The byte becomes the six characters \u00e9 in the path's text.
  json_ptr reply = parse_json(result.reply);
  json_object *entry = json_object_array_get_idx(json_object_object_get(reply.get(), "files"), 0);
  EXPECT_STREQ(get_string_field(entry, "path"), "/music/caf\\u00e9");
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[{\"path\":\"\\/music\\/caf\\\\u00e9\","
                                 "\"size\":12.0,\"modified\":34.0,\"data\":{\"returnValue\":false}}]}");
}

TEST_F(BusService, RegistrationFailsWhenTheNameIsTaken) {
  log_capture logs;
  EXPECT_FALSE(quarn_ipc_new(loop)) << "a second registration of the same name must fail";
  EXPECT_EQ(logs.count("Failed to register com.kivo.mediasiftd on the bus! (3)\n"), 1);
  // The failure path releases the registration (the service then exits);
  // registering afresh works.
  EXPECT_TRUE(quarn_ipc_new(loop));
}

TEST(BuildReply, CarriesTheErrorWordOnlyOnFailure) {
  struct {
    bool success;
    const char *word;
    const char *expected;
  } cases[] = {
      {true, nullptr, "{\"returnValue\":true}"},
      {true, "failedParse", "{\"returnValue\":true}"},
      {false, nullptr, "{\"returnValue\":false}"},
      {false, "noMemory", "{\"returnValue\":false,\"errorText\":\"noMemory\"}"},
  };
  for (const auto &c : cases) {
    json_ptr reply(build_reply(c.success, c.word));
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN), c.expected);
  }
}

TEST(BuildParseReply, OneEntryPerResultInPathOrder) {
  GArray *files = text_array({"/a.mp3", "/b.jpg", "/c", "/d", "/e"});
  GArray *results = text_array({"{\"returnValue\":true,\"type\":\"audio\"}", "{\"returnValue\":false,\"toxic\":true}",
                                "not json", "{\"title\":\"caf\xe9\"}"});
  char *none = nullptr;
  g_array_append_val(results, none);
  GArray *sizes = double_array({1, 2, 3, 4, 5});
  GArray *modified = double_array({10, 20, 30, 40, 50});
  log_capture logs;
  json_ptr reply(build_parse_reply(results, sizes, modified, files));
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN),
               "{\"returnValue\":true,\"files\":["
               "{\"path\":\"\\/a.mp3\",\"size\":1.0,\"modified\":10.0,\"data\":{\"returnValue\":true,\"type\":\"audio\"}},"
               "{\"path\":\"\\/b.jpg\",\"size\":2.0,\"modified\":20.0,\"data\":{\"returnValue\":false,\"toxic\":true}},"
               "{\"path\":\"\\/c\",\"size\":3.0,\"modified\":30.0},"
               "{\"path\":\"\\/d\",\"size\":4.0,\"modified\":40.0,\"data\":{\"title\":\"caf\xef\xbf\xbd\"}},"
               "{\"path\":\"\\/e\",\"size\":5.0,\"modified\":50.0}]}");
  EXPECT_EQ(logs.count("Failed to parse metadata returned! /c\nnot json\n"), 1);
  json_object *first = json_object_array_get_idx(json_object_object_get(reply.get(), "files"), 0);
  EXPECT_TRUE(json_object_is_type(json_object_object_get(first, "size"), json_type_double));
  EXPECT_TRUE(json_object_is_type(json_object_object_get(first, "modified"), json_type_double));

  // More results than paths: only entries that have a path are made.
  GArray *two_files = text_array({"/a.mp3", "/b.jpg"});
  json_ptr short_reply(build_parse_reply(results, sizes, modified, two_files));
  EXPECT_EQ(json_object_array_length(json_object_object_get(short_reply.get(), "files")), 2u);

  string_array_free_all(&two_files);
  string_array_free_all(&files);
  string_array_free_all(&results);
  g_array_free(sizes, TRUE);
  g_array_free(modified, TRUE);
}

} // namespace

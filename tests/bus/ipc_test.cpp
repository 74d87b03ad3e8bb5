// The service's bus side, run in this process on a private bus, with a test
// handler in place of the batch collector.
#include "bus/ipc.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using names = std::vector<std::string>;

enum class handler_mode { answer_empty, keep, refuse };
handler_mode mode;
std::vector<parse_request *> kept;

bool test_queue(GArray const *, void *context) {
  quarn_ipc_join_activity(context);
  if (mode == handler_mode::keep) {
    kept.push_back(static_cast<parse_request *>(context));
  } else if (mode == handler_mode::answer_empty) {
    GArray *empty = g_array_new(FALSE, FALSE, sizeof(double));
    quarn_ipc_reap(empty, empty, empty, context);
    g_array_free(empty, TRUE);
  }
  return mode != handler_mode::refuse;
}

GArray *double_array(const std::vector<double> &values) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(double));
  g_array_append_vals(array, values.data(), static_cast<guint>(values.size()));
  return array;
}

// build_parse_reply over arrays made of `paths`, `records` (null: no record),
// `sizes` and `times`; "(none)" when the reply would pass the bound.
std::string reply_for(const std::vector<std::string> &paths, const std::vector<const char *> &records,
                      const std::vector<double> &sizes, const std::vector<double> &times) {
  GArray *files = string_array(paths);
  GArray *results = g_array_new(FALSE, FALSE, sizeof(char *));
  for (const char *record : records) {
    char *copy = g_strdup(record);
    g_array_append_val(results, copy);
  }
  GArray *size_array = double_array(sizes), *time_array = double_array(times);
  g_autofree char *reply = build_parse_reply(results, size_array, time_array, files);
  string_array_free_all(&files);
  string_array_free_all(&results);
  g_array_free(size_array, TRUE);
  g_array_free(time_array, TRUE);
  return reply != nullptr ? reply : "(none)";
}

class BusService : public own_bus_test {
protected:
  void SetUp() override {
    mode = handler_mode::answer_empty;
    kept.clear();
    own_bus_test::SetUp();
    ASSERT_TRUE(quarn_ipc_new(loop));
    quarn_ipc_register_queue(test_queue);
  }
  void TearDown() override {
    for (parse_request *request : kept)
      quarn_ipc_release_request(request);
    quarn_ipc_free();
    own_bus_test::TearDown();
  }
};

TEST_F(BusService, ChoosesTheActivityAndMapsTheKnownWorker) {
  struct {
    const char *extra; // payload members after "files"
    int pid;           // the worker known to the service, 0: none
    int id;            // the activity joined, -1: none
  } cases[] = {
      {",\"customActivityId\":3,\"activityId\":7,\"$activity\":{\"activityId\":9}", 321, 3},
      {",\"customActivityId\":\"12\",\"activityId\":7", 321, 7},
      {",\"activityId\":7,\"$activity\":{\"activityId\":9}", 321, 7},
      {",\"$activity\":{\"activityId\":9}", 321, 9},
      {",\"activityId\":7", 0, 7}, // no worker to map: "join" only
      {",\"activityId\":\"7\"", 321, -1},
      {",\"activityId\":7.5", 321, -1},
      {",\"$activity\":null", 321, -1},
      {",\"$activity\":5", 321, -1},
      {",\"$activity\":{\"activityId\":\"9\"}", 321, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.extra);
    quarn_ipc_associate(c.pid);
    activity_manager manager(bus.address);
    call_result result = call_parse(client.get(), std::string("{\"files\":[]") + c.extra + "}");
    EXPECT_EQ(plain(result.reply), "{\"returnValue\":true,\"files\":[]}");
    names expected = c.id < 0    ? names{}
                     : c.pid > 0 ? names{"join", "mapProcess", "cancel join", "cancel mapProcess"}
                                 : names{"join", "cancel join"};
    ASSERT_TRUE(run_until([&] { return manager.calls.size() >= expected.size(); }));
    run_until([] { return false; }, 50); // nothing more comes
    EXPECT_EQ(manager.methods(), expected);
    for (const auto &call : manager.calls) {
      if (call.method != "cancel") {
        EXPECT_EQ(call.payload, expected_association(c.id, c.pid));
      }
    }
  }
}

TEST_F(BusService, ARefusedRequestIsAnsweredAndLeavesNoOpenCall) {
  activity_manager manager(bus.address);
  quarn_ipc_associate(321);
  mode = handler_mode::refuse;
  log_capture logs;
  call_result result = call_parse(client.get(), "{\"files\":[\"a\"],\"activityId\":4}");
  EXPECT_EQ(plain(result.reply), "{\"returnValue\":false,\"errorText\":\"failedMetadata\"}");
  EXPECT_EQ(logs.count("Parse already in progress\n"), 1);
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  EXPECT_EQ(manager.methods(), (names{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
}

TEST_F(BusService, OpenRequestsKeepTheirWorkerAndReapAnswersEachAlone) {
  activity_manager manager(bus.address);
  mode = handler_mode::keep;
  call_result first, second;
  quarn_ipc_associate(321);
  call_async(client.get(), service_bus_name, "parse", "{\"files\":[\"a\"],\"activityId\":1}", &first);
  ASSERT_TRUE(run_until([&] { return kept.size() == 1; }));
  quarn_ipc_associate(654);
  call_async(client.get(), service_bus_name, "parse", "{\"files\":[\"b\"],\"activityId\":2}", &second);
  ASSERT_TRUE(run_until([&] { return kept.size() == 2 && manager.calls.size() == 4; }));
  EXPECT_EQ(manager.methods(), (names{"join", "mapProcess", "join", "mapProcess"}));
  EXPECT_EQ(manager.calls[1].payload, expected_association(1, 321));
  EXPECT_EQ(manager.calls[3].payload, expected_association(2, 654));
  EXPECT_FALSE(first.done || second.done);

  // Paths reach the service from the file system too: a byte that is not
  // UTF-8 comes back as the six characters \u00e9.
  parse_request *request = kept[0];
  kept.erase(kept.begin());
  g_free(g_array_index(request->files, char *, 0));
  g_array_index(request->files, char *, 0) = g_strdup("/music/caf\xe9");
  GArray *results = string_array({"{\"returnValue\":false}"});
  GArray *sizes = double_array({12});
  GArray *modified = double_array({34});
  quarn_ipc_reap(results, sizes, modified, request);
  string_array_free_all(&results);
  g_array_free(sizes, TRUE);
  g_array_free(modified, TRUE);
  ASSERT_TRUE(run_until([&] { return first.done && manager.calls.size() == 6; }));
  EXPECT_EQ(plain(first.reply), "{\"returnValue\":true,\"files\":[{\"path\":\"\\/music\\/caf\\\\u00e9\","
                                "\"size\":12.0,\"modified\":34.0,\"data\":{\"returnValue\":false}}]}");
  // Only the answered request's calls end, "join" first.
  EXPECT_EQ(manager.calls[4].payload, "{\"serial\":" + std::to_string(manager.calls[0].serial) +
                                          ",\"method\":\"join\"}");
  EXPECT_EQ(manager.calls[5].payload, "{\"serial\":" + std::to_string(manager.calls[1].serial) +
                                          ",\"method\":\"mapProcess\"}");
  EXPECT_FALSE(second.done);
}

TEST(BuildParseReply, OneEntryPerResultInPathOrder) {
  const std::vector<const char *> results = {"{\"returnValue\":true,\"type\":\"audio\"}",
                                             "{\"returnValue\":false,\"toxic\":true}", "not json",
                                             "{\"title\":\"caf\xe9\"}", nullptr};
  const std::vector<double> sizes = {1, 2, 3, 4, 5}, modified = {10, 20, 30, 40, 50};
  log_capture logs;
  std::string text = reply_for({"/a.mp3", "/b.jpg", "/c", "/d", "/e"}, results, sizes, modified);
  json_ptr reply = parse_json(text);
  ASSERT_NE(reply, nullptr) << text;
  // Written out entry by entry, the text is still json-c's own writing of it.
  EXPECT_EQ(json_object_to_json_string(reply.get()), text);
  EXPECT_STREQ(json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN),
               "{\"returnValue\":true,\"files\":["
               "{\"path\":\"\\/a.mp3\",\"size\":1.0,\"modified\":10.0,\"data\":{\"returnValue\":true,\"type\":\"audio\"}},"
               "{\"path\":\"\\/b.jpg\",\"size\":2.0,\"modified\":20.0,\"data\":{\"returnValue\":false,\"toxic\":true}},"
               "{\"path\":\"\\/c\",\"size\":3.0,\"modified\":30.0},"
               "{\"path\":\"\\/d\",\"size\":4.0,\"modified\":40.0,\"data\":{\"title\":\"caf\xef\xbf\xbd\"}},"
               "{\"path\":\"\\/e\",\"size\":5.0,\"modified\":50.0}]}");
  EXPECT_EQ(logs.count("Failed to parse metadata returned! /c\nnot json\n"), 1);

  // More results than paths: only entries that have a path are made.
  json_ptr short_reply = parse_json(reply_for({"/a.mp3", "/b.jpg"}, results, sizes, modified));
  EXPECT_EQ(json_object_array_length(json_object_object_get(short_reply.get(), "files")), 2u);
  EXPECT_EQ(reply_for({}, {}, sizes, modified), "{ \"returnValue\": true, \"files\": [ ] }");
}

// One entry as the service wrote it while it parsed each record into a json-c
// tree and wrote the tree out again: the reference for the spliced text.
std::string tree_entry(const char *path, double size, double modified, const char *record) {
  json_ptr entry(json_object_new_object());
  add_field(entry.get(), "path", path);
  add_field(entry.get(), "size", size);
  add_field(entry.get(), "modified", modified);
  if (record != nullptr) {
    g_autofree char *valid = g_utf8_make_valid(record, -1);
    if (json_object *data = json_tokener_parse(valid))
      json_object_object_add(entry.get(), "data", data);
  }
  return json_object_to_json_string(entry.get());
}

// The reply of one entry, and the lines logged while it was written.
std::string one_entry_reply(const char *path, double size, double modified, const char *record, log_capture &logs) {
  logs.lines.clear();
  return reply_for({path}, {record}, {size}, {modified});
}

std::string reply_of(const std::string &entry) { return "{ \"returnValue\": true, \"files\": [ " + entry + " ] }"; }

std::string nested(int depth, const std::string &open, const std::string &inner, const std::string &close) {
  std::string text = inner;
  for (int i = 0; i < depth; ++i)
    text = open + text + close;
  return text;
}

// Records spliced into the reply once checked to be one JSON value: byte for
// byte what json-c wrote for them parsed again, for every record json-c's
// writer makes (every golden record, escapes, nesting to the tokener's
// limit) and for any spacing; refused as before where json-c refused them or
// they are no JSON; tokens as they stand where json-c would have rewritten
// them.
TEST(BuildParseReply, SplicesRecordsAsJsonCWroteThem) {
  // Written by json-c's writer, or by another (white space differs only):
  // as before.
  std::vector<std::string> as_before = {
      "{ \"a\": \"q\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\", \"b\": [ 1, -2.5, 1e5, 1.0E-7, -0.0, null ] }",
      "{ \"t\": \"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\", \"\": { } }",
      "{ \"t\": \"caf\xe9\", \"u\": \"\xed\xa0\x80\xf4\x90\x80\x80\xc0\xaf\" }", // made valid UTF-8 first
      nested(31, "[ ", "[ ]", " ]"), nested(31, "{ \"k\": ", "\"v\"", " }"), nested(31, "[ ", "1", " ]"),
      "  \"bare\"\n", "-12", "[ ]", "false", "{\"returnValue\":false,\"errorText\":\"x\"}",
      " {\n\t\"a\" :[1 ,{}, [ [ ]] ,{ \"b\":\"\\\" [{\"}] } \r\n", "{  }", "{ \"a\": [ 1 ,2 ] }", "{ \"a\":  1 }",
      "{ \"a\" : 1 }", "[ 1 ]", "[ 1]", "[1 ]", "[ 1,  2 ]", "[ 1 , 2 ]", "[ 1,\n2 ]", "[ [ ]  ]", "[[ ] ]"};
  // No single JSON value, or past json-c's depth: no "data", as before (the
  // tokener took the first value of trailing garbage and its lax forms).
  std::vector<std::string> refused = {
      nested(32, "[", "1", "]"), nested(33, "[", "", "]"), nested(32, "{\"k\":", "{}", "}"), "", " \n", "null",
      "{ \"a\": [ 1, 2", "{ \"a\": \"x", "tru", "[ 1 ]]", "{ \"a\": 1 } x", "{ \"a\": 1 }{}", "1 2", "{ 'a': 1 }",
      "[ 1, ]", "{ \"a\": 1, }", "[ NaN ]", "[ Infinity ]", "[ TRUE ]", "/* c */ { }", "[ 01 ]", "[ 1. ]", "[ .5 ]",
      "[ +1 ]", "[ 1e ]", "[ 0x10 ]", "[ \"a\tb\" ]", "[ \"\\x\" ]", "[ \"\\ud800\" ]", "[ \"\\udc00\" ]",
      "[ \"\\ud800\\u0041\" ]", "[ \"\\u12\" ]", "{ \"a\" 1 }", "{ 1: 1 }"};
  // Valid JSON json-c would have rewritten (escapes decoded, numbers
  // clamped, members merged): spliced as it stands.
  std::vector<std::pair<std::string, std::string>> rows;
  for (const char *text : {"[ \"\\ud83c\\udfb5\", \"\\u00e9\", \"/\" ]",
                           "[ 123456789012345678901234567890, -0, 1e400 ]", "{ \"a\": 1, \"a\": 2 }"})
    rows.push_back({text, text});
  for (const std::string &text : refused)
    rows.push_back({text, ""});
  for (const char *folder : {"flac", "id3", "image", "mp4", "ogg", "photo", "playlist", "wav"}) {
    g_autoptr(GDir) dir = g_dir_open(data_path(folder).c_str(), 0, nullptr);
    while (const char *name = dir != nullptr ? g_dir_read_name(dir) : nullptr) {
      if (!g_str_has_suffix(name, ".json"))
        continue;
      as_before.push_back(json_object_to_json_string(parse_json(read_file(data_path(folder) + "/" + name)).get()));
      EXPECT_TRUE(record_value(as_before.back().c_str()).json_c_spacing) << name; // goes in whole
    }
  }
  ASSERT_GT(as_before.size(), 40u); // the golden records were found
  for (const std::string &text : as_before)
    rows.push_back({text, "="});
  log_capture logs;
  for (const auto &[record, data] : rows) {
    SCOPED_TRACE(record);
    std::string reply = one_entry_reply("/p", 1, 2, record.c_str(), logs);
    std::string frame = "{ \"path\": \"\\/p\", \"size\": 1.0, \"modified\": 2.0";
    std::string expected = data == "="    ? tree_entry("/p", 1, 2, record.c_str())
                           : data.empty() ? frame + " }"
                                          : frame + ", \"data\": " + data + " }";
    EXPECT_EQ(reply, reply_of(expected));
    EXPECT_EQ(logs.count("Failed to parse metadata returned! /p\n" + record + "\n"),
              reply.find("\"data\"") == std::string::npos ? 1 : 0);
    bool utf8 = g_utf8_validate(record.c_str(), -1, nullptr);
    EXPECT_EQ(logs.count("Metadata returned is not valid UTF-8! /p\n"), utf8 ? 0 : 1);
  }
  // Paths, sizes and times written as json-c writes a string and a double;
  // a time no double holds (only a lying worker's digits make one) as 0.0.
  const std::vector<std::string> paths = {"", "/a b/c.mp3", "/\x01\"\\\b\f\n\r\t\x1f\x7f/caf\xc3\xa9",
                                          "/caf\xe9\xff/x"};
  const double numbers[] = {0, 1234, 2147483647, -1, -0.0, 0.1, 1e15 - 1, 1e15, 1e17, 1.5e300, -1.2345678901234567e+300,
                            5e-324};
  for (size_t i = 0; i < G_N_ELEMENTS(numbers); ++i) {
    const std::string &path = paths[i % paths.size()];
    EXPECT_EQ(one_entry_reply(path.c_str(), numbers[i], -numbers[i], "1", logs),
              reply_of(tree_entry(path.c_str(), numbers[i], -numbers[i], "1")));
  }
  EXPECT_EQ(one_entry_reply("/p", HUGE_VAL, 3, "1", logs),
            reply_of("{ \"path\": \"\\/p\", \"size\": 0.0, \"modified\": 3.0, \"data\": 1 }"));
}

// The bound on a reply's text, and the fewest bytes an entry can take, from
// which the most paths a call may name follows.
TEST(BuildParseReply, StopsAtTheBoundAndNoEntryIsSmallerThanCounted) {
  std::string smallest = reply_for({""}, {nullptr}, {0}, {0});
  EXPECT_EQ(smallest.size() - strlen("{ \"returnValue\": true, \"files\": [  ] }"), min_entry_bytes) << smallest;
  EXPECT_EQ(max_files_per_call, 381300u);

  // Records of 1 MiB: 15 fit, 17 don't.
  std::string record = "{\"x\":\"" + std::string(1 << 20, 'a') + "\"}";
  std::vector<const char *> records(17, record.c_str());
  std::vector<double> zeros(17, 0.0);
  EXPECT_EQ(reply_for(std::vector<std::string>(17, "/a"), records, zeros, zeros), "(none)");
  EXPECT_GT(reply_for(std::vector<std::string>(15, "/a"), records, zeros, zeros).size(), size_t{15} << 20);
}

// What a call's records may take: the bound less what its entries need
// besides their records, counted high enough for any path, size and time.
TEST(BuildParseReply, RecordBudgetLeavesRoomForEveryEntrysFrame) {
  const struct {
    std::string path;
    double size, modified;
  } rows[] = {{"", 0, 0},
              {"/music/a.mp3", 2147483647, 1765000000},
              {"/\x01\"\\\b\n/\x1f\x7f\xc3\xa9", 1, -1.2345678901234567e+300}};
  const std::string record = "{ \"returnValue\": true }";
  for (const auto &r : rows) {
    std::string reply = reply_for({r.path}, {record.c_str()}, {r.size}, {r.modified});
    ASSERT_NE(reply, "(none)");
    GArray *files = string_array({r.path});
    EXPECT_LE(reply.size(), reply_limit_bytes - quarn_ipc_record_budget(files) + record.size()) << reply;
    string_array_free_all(&files);
  }
  // Paths that alone pass the bound leave nothing: the call is refused.
  GArray *many = string_array(std::vector<std::string>(160000, "/music/a.mp3"));
  EXPECT_EQ(quarn_ipc_record_budget(many), 0u);
  string_array_free_all(&many);
}

} // namespace

// The command-line client: its pieces, and the program against the service
// on a private bus.
#include "client/client.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

std::string plain(const std::string &text) {
  json_ptr value = parse_json(text);
  return value != nullptr ? json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN) : "(not JSON) " + text;
}

TEST(ClientPieces, MakesPathsAbsolute) {
  struct {
    const char *path, *cwd, *expected;
  } cases[] = {
      {"/a/b.mp3", "/home", "/a/b.mp3"},
      {"b.mp3", "/home/me", "/home/me/b.mp3"},
      {"music/b.mp3", "/", "/music/b.mp3"},
      {"../b.mp3", "/home/me", "/home/me/../b.mp3"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(absolute_path(c.path, c.cwd), c.expected) << c.path;
}

TEST(ClientPieces, SplitsLongListsIntoCallsOfAThousand) {
  std::vector<std::string> paths;
  for (int i = 0; i < 2500; ++i)
    paths.push_back("/p" + std::to_string(i));
  int activity = 7;
  std::vector<std::string> payloads = parse_payloads(paths, &activity, max_paths_per_call);
  ASSERT_EQ(payloads.size(), 3u);
  size_t next = 0;
  for (size_t call = 0; call < payloads.size(); ++call) {
    json_ptr payload = parse_json(payloads[call]);
    json_object *files = json_object_object_get(payload.get(), "files");
    ASSERT_EQ(json_object_array_length(files), call < 2 ? 1000u : 500u);
    for (size_t i = 0; i < json_object_array_length(files); ++i)
      EXPECT_EQ(json_object_get_string(json_object_array_get_idx(files, i)), paths[next++]);
    int id = 0;
    EXPECT_TRUE(get_int_field(payload.get(), "activityId", &id));
    EXPECT_EQ(id, 7);
  }
  EXPECT_EQ(parse_payloads({}, nullptr, max_paths_per_call), std::vector<std::string>{"{\"files\":[]}"});
  EXPECT_EQ(parse_payloads({"/x"}, nullptr, 1000), std::vector<std::string>{"{\"files\":[\"\\/x\"]}"});
}

TEST(ClientPieces, MergesSuccessfulRepliesOnly) {
  json_ptr merged = parse_json("{\"returnValue\":true,\"files\":[]}");
  json_ptr first = parse_json("{\"returnValue\":true,\"files\":[{\"path\":\"a\"}]}");
  json_ptr second = parse_json("{\"returnValue\":true,\"files\":[{\"path\":\"b\"},{\"path\":\"c\"}]}");
  json_ptr refused = parse_json("{\"returnValue\":false,\"errorText\":\"failedMetadata\"}");
  json_ptr odd = parse_json("{\"returnValue\":true,\"files\":5}");
  EXPECT_TRUE(merge_reply(merged.get(), first.get()));
  EXPECT_TRUE(merge_reply(merged.get(), second.get()));
  EXPECT_FALSE(merge_reply(merged.get(), refused.get()));
  EXPECT_FALSE(merge_reply(merged.get(), odd.get()));
  EXPECT_STREQ(json_object_to_json_string_ext(merged.get(), JSON_C_TO_STRING_PLAIN),
               "{\"returnValue\":true,\"files\":[{\"path\":\"a\"},{\"path\":\"b\"},{\"path\":\"c\"}]}");
}

TEST(ClientPieces, FindsTheFirstPictureDepthFirst) {
  struct {
    const char *data;
    bool found;
    int64_t offset, length;
  } cases[] = {
      {"{\"returnValue\":true,\"type\":\"audio\"}", false, 0, 0},
      {"{\"thumbOffset\":10,\"thumbSize\":20}", true, 10, 20},
      {"{\"exif\":{\"thumbOffset\":300,\"thumbLength\":40}}", true, 300, 40},
      {"{\"id3\":{\"frames\":[{\"TIT2\":\"x\"},{\"APIC\":{\"thumbOffset\":64,\"thumbSize\":5}}]}}", true, 64, 5},
      // An object is looked at before its members.
      {"{\"a\":{\"b\":{\"thumbOffset\":1,\"thumbSize\":2}},\"thumbOffset\":3,\"thumbSize\":4}", true, 3, 4},
      // Members in order: the first picture wins, however deep.
      {"{\"a\":[{\"thumbOffset\":1,\"thumbSize\":2}],\"b\":{\"thumbOffset\":3,\"thumbSize\":4}}", true, 1, 2},
      {"{\"thumbOffset\":12.0,\"thumbSize\":3.0}", true, 12, 3},
      {"{\"thumbOffset\":12.5,\"thumbSize\":3}", false, 0, 0},
      {"{\"thumbOffset\":-1,\"thumbSize\":3}", false, 0, 0},
      {"{\"thumbOffset\":\"12\",\"thumbSize\":3}", false, 0, 0},
      {"{\"thumbOffset\":12}", false, 0, 0},
      {"{\"thumbSize\":12}", false, 0, 0},
      {"{\"bad\":{\"thumbOffset\":-5,\"thumbSize\":1},\"good\":{\"thumbOffset\":8,\"thumbLength\":9}}", true, 8, 9},
      {"[]", false, 0, 0},
  };
  for (const auto &c : cases) {
    json_ptr data = parse_json(c.data);
    ASSERT_NE(data, nullptr) << c.data;
    int64_t offset = -1, length = -1;
    EXPECT_EQ(find_picture(data.get(), &offset, &length), c.found) << c.data;
    if (c.found) {
      EXPECT_EQ(offset, c.offset) << c.data;
      EXPECT_EQ(length, c.length) << c.data;
    }
  }
}

TEST(ClientPieces, CopiesOnlyBytesThatAreThere) {
  temp_dir dir;
  std::string from = dir.write("in.bin", std::string("0123456789"));
  std::string to = dir.path + "/out.bin";
  struct {
    int64_t offset, length;
    const char *copied; // null: refused
  } cases[] = {
      {2, 3, "234"}, {0, 10, "0123456789"}, {9, 1, "9"}, {9, 2, nullptr},
      {10, 1, nullptr}, {0, 0, nullptr}, {11, 1, nullptr}, {INT64_MAX, 1, nullptr},
  };
  for (const auto &c : cases) {
    unlink(to.c_str());
    std::string error;
    bool ok = copy_range(from, c.offset, c.length, to, &error);
    EXPECT_EQ(ok, c.copied != nullptr) << c.offset << "+" << c.length;
    if (c.copied != nullptr) {
      EXPECT_EQ(read_file(to), c.copied);
    } else {
      EXPECT_FALSE(error.empty());
      EXPECT_FALSE(g_file_test(to.c_str(), G_FILE_TEST_EXISTS));
    }
  }
  std::string error;
  EXPECT_FALSE(copy_range(dir.path + "/missing", 0, 1, to, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// The built client, run while this process keeps serving its side of the
// bus (the activity manager, a stand-in service).
struct client_run {
  int status = -1;
  std::string out, err;
};

client_run run_client(const std::string &address, const std::vector<std::string> &args, const std::string &cwd = "") {
  temp_dir dir;
  std::string out_path = dir.path + "/out";
  std::string err_path = dir.path + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    freopen(out_path.c_str(), "w", stdout);
    freopen(err_path.c_str(), "w", stderr);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
      _exit(126);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(MS_CLIENT_BINARY));
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(MS_CLIENT_BINARY, argv.data());
    _exit(127);
  }
  client_run run;
  int status = 0;
  bool ended = run_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60000);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

class Client : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(bus.start()); }
  void TearDown() override {
    bus.stop();
    EXPECT_EQ(sanitizer_reports(bus.errors()), std::vector<std::string>{}) << bus.errors();
  }
  private_bus bus;
  temp_dir files;
};

TEST_F(Client, ParsePrintsTheReplyForRelativeAndAbsolutePaths) {
  std::string playlist = files.write("list.m3u", "#EXTM3U\n/music/a.mp3\n");
  client_run run = run_client(bus.address, {"parse", "list.m3u", files.path + "/missing.mp3"}, files.path);
  EXPECT_EQ(run.status, 0) << run.err;
  json_ptr reply = parse_json(run.out);
  ASSERT_NE(reply, nullptr) << run.out;
  json_object *entries = json_object_object_get(reply.get(), "files");
  ASSERT_EQ(json_object_array_length(entries), 2u);
  EXPECT_STREQ(get_string_field(json_object_array_get_idx(entries, 0), "path"), playlist.c_str());
  json_ptr record = record_of(playlist);
  EXPECT_TRUE(json_object_equal(json_object_object_get(json_object_array_get_idx(entries, 0), "data"), record.get()));
  EXPECT_EQ(plain(json_object_to_json_string(json_object_object_get(json_object_array_get_idx(entries, 1), "data"))),
            "{\"returnValue\":false}");
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "one line when not on a terminal";
  EXPECT_NE(run.out.find(playlist), std::string::npos) << "slashes are printed unescaped";
}

TEST_F(Client, LongListsComeBackAsOneReplyInOrder) {
  std::vector<std::string> args = {"parse"};
  for (int i = 0; i < 1203; ++i)
    args.push_back(files.path + "/f" + std::to_string(i));
  client_run run = run_client(bus.address, args);
  EXPECT_EQ(run.status, 0) << run.err;
  json_ptr reply = parse_json(run.out);
  ASSERT_NE(reply, nullptr);
  json_object *entries = json_object_object_get(reply.get(), "files");
  ASSERT_EQ(json_object_array_length(entries), 1203u);
  for (size_t i = 0; i < 1203; ++i)
    ASSERT_EQ(get_string_field(json_object_array_get_idx(entries, i), "path"), args[i + 1]) << i;
}

TEST_F(Client, RefusesPathsThatAreNotUtf8AndBadArguments) {
  struct {
    std::vector<std::string> args;
    int status;
    const char *message;
  } cases[] = {
      {{"parse", "/music/caf\xe9.mp3"}, 2, "is not valid UTF-8"},
      {{"parse"}, 2, "usage:"},
      {{"parse", "--activity", "x7", "/a"}, 2, "--activity needs a whole number"},
      {{"parse", "--activity"}, 2, "--activity needs a whole number"},
      {{"picture", "/a"}, 2, "usage:"},
      {{"frobnicate"}, 2, "usage:"},
      {{}, 2, "usage:"},
  };
  for (const auto &c : cases) {
    client_run run = run_client(bus.address, c.args);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  GDBusConnection *connection = bus_connect(bus.address);
  EXPECT_EQ(name_owner_pid(connection, service_bus_name), 0) << "nothing was sent, so nothing was started";
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

TEST_F(Client, PassesTheActivityOn) {
  activity_manager manager(bus.address);
  client_run run = run_client(bus.address, {"parse", "--activity", "42", files.path + "/none"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(run_until([&] { return manager.calls.size() >= 1; }));
  EXPECT_EQ(manager.calls[0].method, "join");
  EXPECT_EQ(manager.calls[0].payload.rfind("{\"activityId\":42,", 0), 0u) << manager.calls[0].payload;
}

TEST_F(Client, PictureSaysSoWhenThereIsNone) {
  std::string text = files.write("notes.txt", std::string("\x00\x01no picture here", 17));
  std::string out = files.path + "/out.jpg";
  client_run run = run_client(bus.address, {"picture", text, out});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no picture located in " + text), std::string::npos) << run.err;
  EXPECT_FALSE(g_file_test(out.c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(Client, PictureCopiesTheCoverArtOfARealFile) {
  struct {
    const char *file, *picture;
  } cases[] = {
      {"mp4/audio.m4a", "mp4/cover.jpg"},
      {"mp4/video.mp4", "mp4/cover.png"},
  };
  for (const auto &c : cases) {
    std::string out = files.path + "/picture";
    unlink(out.c_str());
    client_run run = run_client(bus.address, {"picture", data_path(c.file), out});
    EXPECT_EQ(run.status, 0) << c.file << ": " << run.err;
    EXPECT_EQ(read_file(out), read_file(data_path(c.picture))) << c.file;
  }
}

// A stand-in service that goes away without answering the first call, as an
// instance quitting for idleness does; the next owner of the name answers.
struct vanishing_service {
  GDBusConnection *first = nullptr;
  GDBusConnection *second = nullptr;
  int calls = 0;
};

void vanish_or_answer(GDBusConnection *connection, const char *, const char *, const char *, const char *,
                      GVariant *, GDBusMethodInvocation *invocation, gpointer data) {
  auto *stand_in = static_cast<vanishing_service *>(data);
  ++stand_in->calls;
  if (connection == stand_in->first) {
    g_object_unref(invocation);
    g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
    return;
  }
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "{\"returnValue\":true,\"files\":[]}"));
}

TEST(ClientRetry, ACallLostToAQuittingInstanceIsSentOnceMore) {
  private_bus bus;
  ASSERT_TRUE(bus.start({}, false));
  vanishing_service stand_in;
  GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(
      "<node><interface name='com.kivo.mediasiftd'><method name='parse'>"
      "<arg type='s' direction='in'/><arg type='s' direction='out'/></method></interface></node>",
      nullptr);
  const GDBusInterfaceVTable vtable = {vanish_or_answer, nullptr, nullptr, {nullptr}};
  stand_in.first = bus_connect(bus.address);
  stand_in.second = bus_connect(bus.address);
  for (GDBusConnection *connection : {stand_in.first, stand_in.second}) {
    g_dbus_connection_register_object(connection, "/", info->interfaces[0], &vtable, &stand_in, nullptr, nullptr);
    // The second waits in the queue for the name.
    GVariant *answer = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "com.kivo.mediasiftd", 0u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr);
    ASSERT_NE(answer, nullptr);
    g_variant_unref(answer);
  }
  g_dbus_node_info_unref(info);

  client_run run = run_client(bus.address, {"parse", "/x"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), "{\"returnValue\":true,\"files\":[]}");
  EXPECT_EQ(stand_in.calls, 2);
  for (GDBusConnection *connection : {stand_in.first, stand_in.second}) {
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
}

} // namespace

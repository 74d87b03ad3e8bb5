// The command-line client: its pieces, and the program against the service
// on a private bus.
#include "client/client.h"
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;

TEST(ClientPieces, FindsTheFirstPictureDepthFirst) {
  struct {
    const char *data;
    int64_t offset, length; // -1: none found
  } cases[] = {
      {"{\"returnValue\":true,\"type\":\"audio\"}", -1, -1},
      {"{\"thumbOffset\":10,\"thumbSize\":20}", 10, 20},
      {"{\"exif\":{\"thumbOffset\":300,\"thumbLength\":40}}", 300, 40},
      {"{\"id3\":{\"frames\":[{\"TIT2\":\"x\"},{\"APIC\":{\"thumbOffset\":64,\"thumbSize\":5}}]}}", 64, 5},
      // An object is looked at before its members.
      {"{\"a\":{\"b\":{\"thumbOffset\":1,\"thumbSize\":2}},\"thumbOffset\":3,\"thumbSize\":4}", 3, 4},
      // Members in order: the first picture wins, however deep.
      {"{\"a\":[{\"thumbOffset\":1,\"thumbSize\":2}],\"b\":{\"thumbOffset\":3,\"thumbSize\":4}}", 1, 2},
      {"{\"thumbOffset\":12.0,\"thumbSize\":3.0}", 12, 3},
      {"{\"thumbOffset\":12.5,\"thumbSize\":3}", -1, -1},
      {"{\"thumbOffset\":-1,\"thumbSize\":3}", -1, -1},
      {"{\"thumbOffset\":\"12\",\"thumbSize\":3}", -1, -1},
      {"{\"thumbOffset\":12}", -1, -1},
      {"{\"thumbSize\":12}", -1, -1},
      {"{\"bad\":{\"thumbOffset\":-5,\"thumbSize\":1},\"good\":{\"thumbOffset\":8,\"thumbLength\":9}}", 8, 9},
      {"[]", -1, -1},
  };
  for (const auto &c : cases) {
    json_ptr data = parse_json(c.data);
    ASSERT_NE(data, nullptr) << c.data;
    int64_t offset = -1, length = -1;
    EXPECT_EQ(find_picture(data.get(), &offset, &length), c.offset >= 0) << c.data;
    if (c.offset >= 0) {
      EXPECT_EQ(offset, c.offset) << c.data;
      EXPECT_EQ(length, c.length) << c.data;
    }
  }
}

TEST(ClientPieces, CopiesOnlyBytesThatAreThere) {
  temp_dir dir;
  std::string from = dir.write("in.bin", "0123456789");
  std::string to = dir.path + "/out.bin";
  struct {
    int64_t offset, length;
    const char *copied; // null: refused
  } cases[] = {
      {2, 3, "234"},    {0, 10, "0123456789"}, {9, 1, "9"},     {9, 2, nullptr},
      {10, 1, nullptr}, {0, 0, nullptr},       {11, 1, nullptr}, {INT64_MAX, 1, nullptr},
  };
  for (const auto &c : cases) {
    unlink(to.c_str());
    std::string error;
    EXPECT_EQ(copy_range(from, c.offset, c.length, to, &error), c.copied != nullptr) << c.offset << "+" << c.length;
    if (c.copied != nullptr) {
      EXPECT_EQ(read_file(to), c.copied);
    } else {
      EXPECT_FALSE(error.empty());
      EXPECT_FALSE(g_file_test(to.c_str(), G_FILE_TEST_EXISTS));
    }
  }
  std::string error;
  EXPECT_FALSE(copy_range(dir.path + "/missing", 0, 1, to, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

struct client_run {
  int status = -1;
  std::string out, err;
};

// The built client, run while this process keeps serving its side of the bus.
client_run run_client(const std::string &address, const texts &args, const std::string &cwd = "") {
  temp_dir dir;
  pid_t pid = fork();
  if (pid == 0) {
    freopen((dir.path + "/out").c_str(), "w", stdout);
    freopen((dir.path + "/err").c_str(), "w", stderr);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
      _exit(126);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    std::vector<char *> argv = {const_cast<char *>(MS_CLIENT_BINARY)};
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(MS_CLIENT_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  if (!run_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir.path + "/out"), read_file(dir.path + "/err")};
}

class Client : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(bus.start()); }
  void TearDown() override {
    bus.stop();
    EXPECT_EQ(sanitizer_reports(bus.errors()), texts{}) << bus.errors();
  }
  private_bus bus;
  temp_dir files;
};

TEST_F(Client, ParsePrintsTheReplyForRelativeAndAbsolutePaths) {
  std::string playlist = files.write("list.m3u", "#EXTM3U\n/music/a.mp3\n");
  std::string missing = files.path + "/missing.mp3";
  client_run run = run_client(bus.address, {"parse", "list.m3u", missing}, files.path);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), expected_reply({playlist, missing}));
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "one line when not on a terminal";
  EXPECT_NE(run.out.find(playlist), std::string::npos) << "slashes are printed unescaped";
}

TEST_F(Client, LongListsComeBackAsOneReplyInOrder) {
  texts paths;
  for (int i = 0; i < 1203; ++i)
    paths.push_back(files.path + "/f" + std::to_string(i));
  texts args = paths;
  args.insert(args.begin(), "parse");
  client_run run = run_client(bus.address, args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), expected_reply(paths));
}

TEST_F(Client, RefusesPathsThatAreNotUtf8AndBadArguments) {
  struct {
    texts args;
    const char *message;
  } cases[] = {
      {{"parse", "/music/caf\xe9.mp3"}, "is not valid UTF-8"},
      {{"parse"}, "usage:"},
      {{"parse", "--activity", "x7", "/a"}, "--activity needs a whole number"},
      {{"parse", "--activity"}, "--activity needs a whole number"},
      {{"picture", "/a"}, "usage:"},
      {{"frobnicate"}, "usage:"},
      {{}, "usage:"},
  };
  for (const auto &c : cases) {
    client_run run = run_client(bus.address, c.args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  connection_ptr connection(bus_connect(bus.address));
  EXPECT_EQ(name_owner_pid(connection.get(), service_bus_name), 0) << "nothing was sent, so nothing was started";
}

TEST_F(Client, PassesTheActivityOn) {
  activity_manager manager(bus.address);
  client_run run = run_client(bus.address, {"parse", "--activity", "42", files.path + "/none"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(run_until([&] { return manager.calls.size() >= 1; }));
  EXPECT_EQ(manager.calls[0].method, "join");
  EXPECT_EQ(manager.calls[0].payload.rfind("{\"activityId\":42,", 0), 0u) << manager.calls[0].payload;
}

TEST_F(Client, PictureCopiesTheLocatedBytesOrSaysThereAreNone) {
  struct {
    std::string file;
    const char *picture; // null: the file holds none
  } cases[] = {
      {data_path("mp4/audio.m4a"), "mp4/cover.jpg"},
      {data_path("mp4/video.mp4"), "mp4/cover.png"},
      {files.write("notes.txt", std::string("\x00\x01no picture here", 17)), nullptr},
  };
  std::string out = files.path + "/picture";
  for (const auto &c : cases) {
    unlink(out.c_str());
    client_run run = run_client(bus.address, {"picture", c.file, out});
    if (c.picture != nullptr) {
      EXPECT_EQ(run.status, 0) << c.file << ": " << run.err;
      EXPECT_EQ(read_file(out), read_file(data_path(c.picture))) << c.file;
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_NE(run.err.find("no picture located in " + c.file), std::string::npos) << run.err;
      EXPECT_FALSE(g_file_test(out.c_str(), G_FILE_TEST_EXISTS));
    }
  }
}

// A stand-in service whose first instance goes away without answering, as an
// instance quitting for idleness does; the next owner of the name answers.
struct vanishing_service {
  connection_ptr first, second;
  int calls = 0;
};

void vanish_or_answer(GDBusConnection *connection, const char *, const char *, const char *, const char *,
                      GVariant *, GDBusMethodInvocation *invocation, gpointer data) {
  auto *stand_in = static_cast<vanishing_service *>(data);
  ++stand_in->calls;
  if (connection == stand_in->first.get()) {
    g_object_unref(invocation);
    g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
    return;
  }
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "{\"returnValue\":true,\"files\":[]}"));
}

TEST(ClientRetry, ACallLostToAQuittingInstanceIsSentOnceMore) {
  private_bus bus;
  ASSERT_TRUE(bus.start({}, false));
  vanishing_service stand_in{connection_ptr(bus_connect(bus.address)), connection_ptr(bus_connect(bus.address))};
  // The second waits in the queue for the name.
  for (GDBusConnection *connection : {stand_in.first.get(), stand_in.second.get()})
    serve(connection,
          "<interface name='com.kivo.mediasiftd'><method name='parse'><arg type='s' direction='in'/>"
          "<arg type='s' direction='out'/></method></interface>",
          vanish_or_answer, &stand_in, service_bus_name, 0);

  client_run run = run_client(bus.address, {"parse", "/x"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), "{\"returnValue\":true,\"files\":[]}");
  EXPECT_EQ(stand_in.calls, 2);
}

} // namespace

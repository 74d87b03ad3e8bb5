// The command-line client: its pieces, and the program against the service
// on a private bus.
#include "client/client.h"
#include "qs/bus_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;

TEST(ClientPieces, FindsEveryPictureDepthFirst) {
  struct {
    const char *data;
    int64_t offset, length; // of the first; -1: none found
    size_t count;
  } cases[] = {
      {"{\"returnValue\":true,\"type\":\"audio\"}", -1, -1, 0},
      {"{\"thumbOffset\":10,\"thumbSize\":20}", 10, 20, 1},
      {"{\"exif\":{\"thumbOffset\":300,\"thumbLength\":40}}", 300, 40, 1},
      {"{\"id3\":{\"frames\":[{\"TIT2\":\"x\"},{\"APIC\":{\"thumbOffset\":64,\"thumbSize\":5}}]}}", 64, 5, 1},
      // An object is looked at before its members.
      {"{\"a\":{\"b\":{\"thumbOffset\":1,\"thumbSize\":2}},\"thumbOffset\":3,\"thumbSize\":4}", 3, 4, 1},
      {"{\"a\":[{\"thumbOffset\":1,\"thumbSize\":2}],\"b\":{\"thumbOffset\":3,\"thumbSize\":4}}", 1, 2, 2},
      {"{\"thumbOffset\":12.0,\"thumbSize\":3.0}", 12, 3, 1},
      {"{\"thumbOffset\":12.5,\"thumbSize\":3}", -1, -1, 0},
      {"{\"thumbOffset\":-1,\"thumbSize\":3}", -1, -1, 0},
      {"{\"thumbOffset\":\"12\",\"thumbSize\":3}", -1, -1, 0},
      {"{\"thumbOffset\":12}", -1, -1, 0},
      {"{\"bad\":{\"thumbOffset\":-5,\"thumbSize\":1},\"good\":{\"thumbOffset\":8,\"thumbLength\":9}}", 8, 9, 1},
      {"[]", -1, -1, 0},
      // The record's own list wins, each entry typed by its member's entry.
      {"{\"id3\":{\"APIC\":[{\"type\":4,\"thumbOffset\":5,\"thumbSize\":1}]},"
       "\"pictures\":[{\"offset\":5,\"size\":1},{\"offset\":7,\"size\":2,\"kind\":\"front\"}]}",
       5, 1, 2},
  };
  for (const auto &c : cases) {
    json_ptr data = parse_json(c.data);
    ASSERT_NE(data, nullptr) << c.data;
    std::vector<picture_place> places = find_pictures(data.get());
    ASSERT_EQ(places.size(), c.count) << c.data;
    if (c.count > 0) {
      EXPECT_EQ(places[0].offset, c.offset) << c.data;
      EXPECT_EQ(places[0].length, c.length) << c.data;
    }
  }
}

TEST(ClientPieces, ChoosesTheFrontCoverUnlessAskedOtherwise) {
  // Offsets stand for the pictures; the types are ID3 picture types.
  std::vector<picture_place> back_then_front = {{1, 1, 4}, {2, 1, 3}, {3, 1, 4}};
  std::vector<picture_place> untyped = {{1, 1, -1}, {2, 1, -1}};
  struct {
    const std::vector<picture_place> *places;
    int index, type;
    int64_t chosen; // 0: refused
  } cases[] = {
      {&back_then_front, -1, -1, 2}, {&untyped, -1, -1, 1},        {&back_then_front, 0, -1, 1},
      {&back_then_front, 2, -1, 3},  {&back_then_front, 3, -1, 0}, {&back_then_front, -1, 4, 1},
      {&back_then_front, 1, 4, 3},   {&back_then_front, 2, 4, 0},  {&back_then_front, -1, 0, 0},
      {&untyped, -1, 3, 0},
  };
  for (const auto &c : cases) {
    picture_place chosen;
    std::string error;
    EXPECT_EQ(choose_picture(*c.places, c.index, c.type, &chosen, &error), c.chosen != 0) << c.index << "/" << c.type;
    if (c.chosen != 0)
      EXPECT_EQ(chosen.offset, c.chosen) << c.index << "/" << c.type;
    else
      EXPECT_NE(error.find("no picture"), std::string::npos) << error;
  }
  std::string error;
  picture_place chosen;
  EXPECT_FALSE(choose_picture({}, -1, -1, &chosen, &error));
  EXPECT_EQ(error, "no picture located");
}

TEST(ClientPieces, ReadsTheCommandLine) {
  struct {
    texts args;
    const char *error; // null: accepted
    const char *command;
    size_t operands;
  } cases[] = {
      {{"parse", "a", "b"}, nullptr, "parse", 2},
      {{"--session", "parse", "--activity", "-3", "a"}, nullptr, "parse", 1},
      {{"parse", "--", "--force", "-"}, nullptr, "parse", 2},
      {{"picture", "--force", "--index", "1", "--type", "3", "a", "-"}, nullptr, "picture", 2},
      {{"--address", "unix:path=/x", "picture", "a", "b"}, nullptr, "picture", 2},
      {{"--help"}, nullptr, "", 0},
      {{"parse", "-h"}, nullptr, "", 0},
      {{"--version"}, nullptr, "", 0},
      {{}, "no command given", nullptr, 0},
      {{"frobnicate", "a"}, "unknown command frobnicate", nullptr, 0},
      {{"parse", "--frob", "a"}, "unknown option --frob", nullptr, 0},
      {{"parse", "-x", "a"}, "unknown option -x", nullptr, 0},
      {{"parse"}, "parse needs at least one PATH", nullptr, 0},
      {{"picture", "a"}, "picture needs PATH and OUT", nullptr, 0},
      {{"picture", "a", "b", "c"}, "picture needs PATH and OUT", nullptr, 0},
      {{"parse", "--activity", "x7", "a"}, "--activity needs a whole number", nullptr, 0},
      {{"parse", "--activity"}, "--activity needs a value", nullptr, 0},
      {{"picture", "--index", "-1", "a", "b"}, "--index needs a whole number from 0", nullptr, 0},
      {{"parse", "--force", "a"}, "--force, --index and --type apply to picture only", nullptr, 0},
      {{"picture", "--activity", "1", "a", "b"}, "--activity applies to parse only", nullptr, 0},
      {{"--session", "--system", "parse", "a"}, "--system conflicts with the bus already chosen", nullptr, 0},
  };
  for (const auto &c : cases) {
    std::vector<char *> argv;
    for (const std::string &a : c.args)
      argv.push_back(const_cast<char *>(a.c_str()));
    client_options options;
    std::string error;
    bool ok = parse_command_line(static_cast<int>(argv.size()), argv.data(), &options, &error);
    std::string row = c.args.empty() ? "(none)" : c.args[0] + "…";
    EXPECT_EQ(ok, c.error == nullptr) << row << ": " << error;
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error) << row;
    } else {
      EXPECT_EQ(options.command, c.command) << row;
      EXPECT_EQ(options.operands.size(), c.operands) << row;
    }
  }
}

struct client_run {
  int status = -1;
  std::string out, err;
};

struct run_options {
  std::string cwd;
  const char *program = MS_CLIENT_BINARY;
  bool terminal_input = false; // standard input a terminal, not /dev/null
};

// The program (the built client unless told otherwise), run while this
// process keeps serving its side of the bus.
client_run run_client(const std::string &address, const texts &args, const run_options &how = {}) {
  g_autoptr(GSubprocessLauncher) launcher =
      g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
  g_subprocess_launcher_setenv(launcher, "DBUS_SESSION_BUS_ADDRESS", address.c_str(), TRUE);
  if (!how.cwd.empty())
    g_subprocess_launcher_set_cwd(launcher, how.cwd.c_str());
  int terminal = how.terminal_input ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
  if (terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0)
    g_subprocess_launcher_take_stdin_fd(launcher, open(ptsname(terminal), O_RDWR | O_NOCTTY));
  std::vector<const char *> argv = {how.program};
  for (const std::string &a : args)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), nullptr);
  if (process == nullptr)
    return {};
  GAsyncResult *done = nullptr;
  g_subprocess_communicate_async(process, nullptr, nullptr, [](GObject *, GAsyncResult *result, gpointer out) {
    *static_cast<GAsyncResult **>(out) = G_ASYNC_RESULT(g_object_ref(result));
  }, &done);
  client_run run;
  g_autoptr(GBytes) out = nullptr;
  g_autoptr(GBytes) err = nullptr;
  if (run_until([&] { return done != nullptr; }, 60000) &&
      g_subprocess_communicate_finish(process, done, &out, &err, nullptr) && g_subprocess_get_if_exited(process)) {
    run.status = g_subprocess_get_exit_status(process);
    run.out.assign(static_cast<const char *>(g_bytes_get_data(out, nullptr)), g_bytes_get_size(out));
    run.err.assign(static_cast<const char *>(g_bytes_get_data(err, nullptr)), g_bytes_get_size(err));
  } else {
    g_subprocess_force_exit(process);
  }
  g_clear_object(&done);
  if (terminal >= 0)
    close(terminal);
  return run;
}

std::string checksum(const std::string &path) {
  std::string bytes = read_file(path);
  g_autofree char *sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(bytes.data()),
                                                     bytes.size());
  return sum;
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

// A call's records past its budget are refused for room; the client asks
// about those files again until each has its record.
TEST_F(Client, FilesRefusedForRoomAreAskedAgain) {
  std::string lines;
  while (lines.size() < 131072)
    lines += "a\n"; // a record of 1.4 MB
  texts paths(14, files.write("big.m3u", lines));
  paths.insert(paths.begin() + 7, files.path + "/missing");
  texts args = paths;
  args.insert(args.begin(), "parse");
  client_run run = run_client(bus.address, args);
  EXPECT_EQ(run.status, 1) << "one of them is missing";
  EXPECT_EQ(run.out.find("replyTooLarge"), std::string::npos);
  EXPECT_EQ(plain(run.out), expected_reply(paths));
}

// The client as a shell tool: one row per exit status, option and message.
// A reply is printed on one line (not on a terminal), slashes unescaped.
TEST_F(Client, ExitStatusesAndMessages) {
  std::string playlist = files.write("list.m3u", "/music/a.mp3\n");
  std::string dashed = files.write("--list.m3u", "/music/b.mp3\n");
  std::string latin1 = files.path + "/caf\xff.mp3";
  std::string bad_entry =
      "{\"path\":\"" + files.path + "/caf\\\\u00ff.mp3\",\"data\":{\"returnValue\":false,\"errorText\":\"badEncoding\"}}";
  std::string good = plain(expected_reply({playlist}));
  std::string good_entry = good.substr(good.find('[') + 1, good.rfind(']') - good.find('[') - 1);
  struct row {
    texts args;
    int status;
    std::string out;  // the whole standard output, or a part of it after "~"
    std::string err;  // a part of standard error ("" for none at all)
    run_options how;
  };
  std::string dead = "unix:path=" + files.path + "/no-bus";
  std::vector<row> rows = {
      {{"parse", playlist}, 0, good, "", {}},
      {{"parse", "list.m3u", "--", "--list.m3u"}, 0, expected_reply({playlist, dashed}), "", {files.path}},
      {{"parse", files.path + "/missing"}, 1, plain(expected_reply({files.path + "/missing"})), "", {}},
      {{"parse", playlist, latin1, playlist}, 1,
       "{\"returnValue\":true,\"files\":[" + good_entry + "," + bad_entry + "," + good_entry + "]}",
       "is not valid UTF-8 and can't be sent over the bus (badEncoding)", {}},
      {{"--help"}, 0, "~usage: mediasift", "", {}},
      {{"--version"}, 0, "mediasift 0.1\n", "", {}},
      {{"parse", "--frob", playlist}, 2, "", "mediasift: unknown option --frob\nusage:", {}},
      {{"--address", dead, "parse", playlist}, 3, "", "cannot reach the bus at " + dead + " (--address): ", {}},
      {{"--session", "parse", playlist}, 0, good, "", {}},
      {{"--address", bus.address, "parse", playlist}, 0, good, "", {}},
      {{"--version"}, 0, "mediasiftd 0.1\n", "", {"", MS_BINARY, false}},
      {{"--help"}, 0, "~usage: mediasiftd", "", {"", MS_BINARY, false}},
      // By hand on a terminal, an unknown argument is a mistake, not a worker.
      {{"--frob"}, 2, "", "mediasiftd: unknown argument --frob\nusage: mediasiftd", {"", MS_BINARY, true}},
      {{"--help"}, 0, "~usage: scripts/run.sh", "", {"", MS_SOURCE_DIR "/scripts/run.sh", false}},
  };
  // A bus where nobody provides the service.
  private_bus empty;
  ASSERT_TRUE(empty.start({}, false));
  rows.push_back({{"--address", empty.address, "parse", playlist}, 3, "",
                  "cannot reach the service on the bus at " + empty.address + " (--address): ", {}});
  for (const row &r : rows) {
    client_run run = run_client(bus.address, r.args, r.how);
    std::string name = std::string(r.how.program) + " " + r.args[0] + " " + r.args.back();
    EXPECT_EQ(run.status, r.status) << name << "\n" << run.err;
    if (r.out.rfind("~", 0) == 0)
      EXPECT_NE(run.out.find(r.out.substr(1)), std::string::npos) << name << ": " << run.out;
    else if (r.out.rfind("{", 0) != 0)
      EXPECT_EQ(run.out, r.out) << name;
    else {
      EXPECT_EQ(plain(run.out), plain(r.out)) << name;
      EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << name << ": " << run.out;
      EXPECT_EQ(run.out.find("\\/"), std::string::npos) << name << ": " << run.out;
    }
    if (r.err.empty())
      EXPECT_EQ(run.err, "") << name;
    else
      EXPECT_NE(run.err.find(r.err), std::string::npos) << name << ": " << run.err;
  }
}

TEST_F(Client, PassesTheActivityOn) {
  activity_manager manager(bus.address);
  client_run run = run_client(bus.address, {"parse", "--activity", "42", files.path + "/none"});
  EXPECT_EQ(run.status, 1) << run.err;
  ASSERT_TRUE(run_until([&] { return manager.calls.size() >= 1; }));
  EXPECT_EQ(manager.calls[0].method, "join");
  EXPECT_EQ(manager.calls[0].payload.rfind("{\"activityId\":42,", 0), 0u) << manager.calls[0].payload;
}

// `picture` never harms a file: one row per way it could, over real fixtures.
TEST_F(Client, PictureWritesOnlyANewFileOrWhatItWasAskedTo) {
  std::string song = files.write("song.mp3", read_file(data_path("id3/v24_two_pictures.mp3")));
  std::string other = files.write("other.mp3", read_file(data_path("id3/v23_one_picture.mp3")));
  std::string notes = files.write("notes.txt", std::string("\x00\x01no picture here", 17));
  ASSERT_EQ(link(song.c_str(), (files.path + "/hard.mp3").c_str()), 0);
  std::string front = read_file(data_path("id3/cover.jpg"));
  std::string back = read_file(data_path("id3/back.png"));
  std::string second_cover = read_file(data_path("mp4/cover.jpg"));
  std::string out = files.path + "/out";
  struct row {
    const char *name;
    texts args;     // PATH and OUT last
    int status;
    const std::string *written; // what OUT (or standard output) holds after; null: OUT as before
    std::string err;
  };
  std::string existing = "existing";
  std::vector<row> rows = {
      {"front cover before an earlier back cover", {song, out}, 0, &front, ""},
      {"--index", {"--index", "0", song, out}, 0, &back, ""},
      {"--type", {"--type", "4", song, out}, 0, &back, ""},
      {"--type and --index past the end", {"--type", "4", "--index", "1", song, out}, 1, nullptr,
       "no picture 1 of type 4: the record locates 1"},
      {"MP4 cover", {data_path("mp4/audio.m4a"), out}, 0, nullptr, ""},
      {"MP4 second cover, listed only in \"pictures\"", {"--index", "1", data_path("mp4/tags.m4a"), out + ".second"},
       0, &second_cover, ""},
      {"existing OUT", {song, other}, 1, nullptr, "exists (use --force to replace it)"},
      {"--force", {"--force", song, out + ".forced"}, 0, &front, ""},
      {"OUT is PATH", {"--force", song, song}, 1, nullptr, "is the file"},
      {"OUT is PATH through ./", {"--force", song, "./song.mp3"}, 1, nullptr, "is the file"},
      {"OUT is a hard link of PATH", {"--force", song, "hard.mp3"}, 1, nullptr, "is the file"},
      {"no picture", {notes, out}, 1, nullptr, "no picture located in "},
      {"OUT's folder missing", {song, files.path + "/none/out"}, 1, nullptr, "cannot write in"},
      {"- to a pipe", {song, "-"}, 0, &front, ""},
  };
  for (const row &r : rows) {
    std::string target = r.args.back();
    std::string path = target[0] == '/' || target == "-" ? target : files.path + "/" + target;
    if (target == out + ".forced")
      files.write("out.forced", existing);
    unlink(out.c_str());
    bool existed = target != "-" && g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
    std::string before = existed ? checksum(path) : "";
    std::string source_before = checksum(r.args[r.args.size() - 2]);
    if (!existed && target != "-")
      unlink(path.c_str());
    texts args = r.args;
    args.insert(args.begin(), "picture");
    client_run run = run_client(bus.address, args, {files.path, MS_CLIENT_BINARY, false});
    EXPECT_EQ(run.status, r.status) << r.name << ": " << run.err;
    EXPECT_NE(run.err.find(r.err), std::string::npos) << r.name << ": " << run.err;
    EXPECT_EQ(checksum(r.args[r.args.size() - 2]), source_before) << r.name << ": PATH changed";
    if (target == "-")
      EXPECT_EQ(run.out, *r.written) << r.name;
    else if (r.written != nullptr)
      EXPECT_EQ(read_file(path), *r.written) << r.name;
    else if (existed)
      EXPECT_EQ(checksum(path), before) << r.name << ": OUT changed";
    else if (r.status != 0)
      EXPECT_FALSE(g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) << r.name << ": OUT left behind";
    else
      EXPECT_EQ(read_file(path), read_file(data_path("mp4/cover.jpg"))) << r.name;
  }
  // Nothing but the files written on purpose is left in the folder.
  GDir *dir = g_dir_open(files.path.c_str(), 0, nullptr);
  texts left;
  while (const char *name = g_dir_read_name(dir))
    left.push_back(name);
  g_dir_close(dir);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (texts{"hard.mp3", "notes.txt", "other.mp3", "out.forced", "out.second", "song.mp3"}));
}

TEST(ClientPieces, RefusesAPictureTargetBeforeAsking) {
  temp_dir dir;
  std::string song = dir.write("song.mp3", "x");
  std::string other = dir.write("other", "y");
  ASSERT_EQ(symlink(song.c_str(), (dir.path + "/link").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere", (dir.path + "/dangling").c_str()), 0);
  struct {
    std::string to;
    bool force, terminal, ok;
  } cases[] = {
      {"-", false, false, true},          {"-", false, true, false},       {dir.path + "/new", false, false, true},
      {other, false, false, false},       {other, true, false, true},      {song, true, false, false},
      {dir.path + "/link", true, false, false}, {dir.path + "/dangling", false, false, false},
      {dir.path + "/dangling", true, false, true},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_EQ(check_picture_target(song, c.to, c.force, c.terminal, &error), c.ok) << c.to << " " << c.force;
    EXPECT_EQ(error.empty(), c.ok) << error;
  }
}

// The service's one method, as the stand-ins below export it.
const char *const parse_interface = "<interface name='com.kivo.mediasiftd'><method name='parse'>"
                                    "<arg type='s' direction='in'/><arg type='s' direction='out'/></method></interface>";

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
    serve(connection, parse_interface, vanish_or_answer, &stand_in, service_bus_name, 0);

  client_run run = run_client(bus.address, {"parse", "/x"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), "{\"returnValue\":true,\"files\":[]}");
  EXPECT_EQ(stand_in.calls, 2);
}

// A stand-in service that holds its calls until as many as the client should
// have in flight have arrived (or no more can come), then answers them last
// first; a call over 600 paths it answers "replyTooLarge" at once.
struct holding_service {
  size_t total_paths = 0;
  size_t answered_paths = 0;
  size_t in_flight = 0;
  size_t most_held = 0;
  std::vector<std::pair<GDBusMethodInvocation *, texts>> held;
};

void hold_then_answer(GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *parameters,
                      GDBusMethodInvocation *invocation, gpointer data) {
  auto *stand_in = static_cast<holding_service *>(data);
  const char *payload = nullptr;
  g_variant_get(parameters, "(&s)", &payload);
  json_ptr files(json_object_get(json_object_object_get(parse_json(payload).get(), "files")));
  texts paths;
  for (size_t i = 0; i < json_object_array_length(files.get()); ++i)
    paths.push_back(json_object_get_string(json_object_array_get_idx(files.get(), i)));
  if (paths.size() > 600) {
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(s)", "{\"returnValue\":false,\"errorText\":\"replyTooLarge\"}"));
    return;
  }
  stand_in->held.emplace_back(invocation, paths);
  stand_in->most_held = std::max(stand_in->most_held, stand_in->held.size());
  size_t held_paths = 0;
  for (const auto &call : stand_in->held)
    held_paths += call.second.size();
  if (stand_in->held.size() < stand_in->in_flight && stand_in->answered_paths + held_paths < stand_in->total_paths)
    return;
  for (auto call = stand_in->held.rbegin(); call != stand_in->held.rend(); ++call) {
    std::string reply = "{\"returnValue\":true,\"files\":[";
    for (size_t i = 0; i < call->second.size(); ++i)
      reply += (i > 0 ? ",{\"path\":\"" : "{\"path\":\"") + call->second[i] + "\",\"data\":{\"returnValue\":true}}";
    g_dbus_method_invocation_return_value(call->first, g_variant_new("(s)", (reply + "]}").c_str()));
    stand_in->answered_paths += call->second.size();
  }
  stand_in->held.clear();
}

TEST(ClientCalls, SeveralGoOutAtOnceAndComeBackInOrder) {
  private_bus bus;
  ASSERT_TRUE(bus.start({}, false));
  holding_service stand_in;
  stand_in.in_flight = std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), max_calls_in_flight);
  connection_ptr connection(bus_connect(bus.address));
  serve(connection.get(), parse_interface, hold_then_answer, &stand_in, service_bus_name, 0);
  texts args = {"parse"};
  std::string expected = "{\"returnValue\":true,\"files\":[";
  for (int i = 0; i < 4321; ++i) {
    args.push_back("/p" + std::to_string(i));
    expected += (i > 0 ? ",{\"path\":\"" : "{\"path\":\"") + args.back() + "\",\"data\":{\"returnValue\":true}}";
  }
  stand_in.total_paths = args.size() - 1;
  client_run run = run_client(bus.address, args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plain(run.out), plain(expected + "]}"));
  EXPECT_EQ(stand_in.most_held, stand_in.in_flight);
}

} // namespace

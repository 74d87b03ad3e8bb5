// mediasift: asks the media metadata service about files over the bus.
//
//   mediasift parse [--activity ID] PATH...   prints the service's reply
//   mediasift picture PATH OUT                writes PATH's picture to OUT
//
// See client_usage for the options and the exit statuses.
#include "client/client.h"

#include "base/json_helpers.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

int usage_error(const std::string &error) {
  fprintf(stderr, "mediasift: %s\n%s", error.c_str(), client_usage);
  return status_usage;
}

// The bus the options name, and words for messages saying which it was and
// why it was chosen. Null (reported) when it can't be reached.
GDBusConnection *connect_bus(const client_options &options, std::string *which) {
  g_autoptr(GError) failure = nullptr;
  GDBusConnection *connection = nullptr;
  if (options.bus == bus_choice::address) {
    *which = "the bus at " + options.address + " (--address)";
    connection = g_dbus_connection_new_for_address_sync(
        options.address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure);
  } else {
    const char *session = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    bool use_session = options.bus == bus_choice::session ||
                       (options.bus == bus_choice::automatic && session != nullptr && *session != '\0');
    if (options.bus == bus_choice::automatic)
      *which = use_session ? "the session bus (DBUS_SESSION_BUS_ADDRESS is set)"
                           : "the system bus (DBUS_SESSION_BUS_ADDRESS is not set)";
    else
      *which = use_session ? "the session bus (--session)" : "the system bus (--system)";
    connection = g_bus_get_sync(use_session ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM, nullptr, &failure);
  }
  if (connection == nullptr)
    fprintf(stderr, "mediasift: cannot reach %s: %s\n", which->c_str(), failure->message);
  return connection;
}

// The calls of one run: each covers a range of the paths. Up to `limit` are
// in flight; the replies are kept by the range's start and merged in order
// at the end. A call the service answers with "replyTooLarge" is sent again
// as two halves.
struct call_run {
  GDBusConnection *connection = nullptr;
  std::string which;
  const std::vector<std::string> *paths = nullptr;
  const int *activity = nullptr;
  unsigned limit = 1;
  unsigned in_flight = 0;
  std::deque<std::pair<size_t, size_t>> waiting;
  std::map<size_t, json_ptr> replies;
  int status = status_parsed; // a failure of the run as a whole
  json_ptr refused;           // a call's refusal, printed as the reply
  GMainLoop *loop = nullptr;
};

struct call_pending {
  call_run *run;
  size_t begin, end;
  int attempt;
};

void send_calls(call_run *run);

void send_call(call_run *run, size_t begin, size_t end, int attempt);

void call_done(GObject *source, GAsyncResult *result, gpointer data) {
  auto *pending = static_cast<call_pending *>(data);
  call_run *run = pending->run;
  g_autoptr(GError) failure = nullptr;
  g_autoptr(GVariant) answer = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure);
  --run->in_flight;
  if (answer == nullptr && pending->attempt == 0 && g_error_matches(failure, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY)) {
    // The call reached an instance just as it quit for idleness: sent once
    // more, it starts a fresh one.
    send_call(run, pending->begin, pending->end, 1);
  } else if (answer == nullptr) {
    if (run->status == status_parsed)
      fprintf(stderr, "mediasift: cannot reach the service on %s: %s\n", run->which.c_str(), failure->message);
    run->status = status_unreachable;
  } else {
    const char *text = nullptr;
    g_variant_get(answer, "(&s)", &text);
    json_ptr reply(json_tokener_parse(text));
    const char *refusal = reply != nullptr ? reply_error(reply.get()) : nullptr;
    if (reply != nullptr && reply_files(reply.get()) != nullptr) {
      run->replies[pending->begin] = std::move(reply);
    } else if (refusal != nullptr && strcmp(refusal, "replyTooLarge") == 0 && pending->end - pending->begin > 1) {
      size_t middle = pending->begin + (pending->end - pending->begin) / 2;
      run->waiting.emplace_front(middle, pending->end);
      run->waiting.emplace_front(pending->begin, middle);
    } else if (run->status == status_parsed) {
      if (reply == nullptr)
        fprintf(stderr, "mediasift: the service's reply is not JSON: %s\n", text);
      run->refused = std::move(reply);
      run->status = status_failed;
    }
  }
  delete pending;
  send_calls(run);
}

void send_call(call_run *run, size_t begin, size_t end, int attempt) {
  std::string payload = parse_payload(*run->paths, begin, end, run->activity);
  ++run->in_flight;
  g_dbus_connection_call(run->connection, service_name, "/", service_name, "parse",
                         g_variant_new("(s)", payload.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                         G_MAXINT, nullptr, call_done, new call_pending{run, begin, end, attempt});
}

void send_calls(call_run *run) {
  while (run->status == status_parsed && run->in_flight < run->limit && !run->waiting.empty()) {
    auto [begin, end] = run->waiting.front();
    run->waiting.pop_front();
    send_call(run, begin, end, 0);
  }
  if (run->in_flight == 0 && (run->waiting.empty() || run->status != status_parsed))
    g_main_loop_quit(run->loop);
}

unsigned calls_in_flight() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus < 1 ? 1 : cpus > static_cast<long>(max_calls_in_flight) ? max_calls_in_flight : static_cast<unsigned>(cpus);
}

// Asks about `paths` in calls of at most max_paths_per_call; the entries in
// path order, or null with `run->status` saying why.
json_ptr ask(call_run *run, const std::vector<std::string> &paths) {
  json_ptr files(json_object_new_array());
  if (paths.empty())
    return files;
  run->paths = &paths;
  run->limit = calls_in_flight();
  for (size_t begin = 0; begin < paths.size(); begin += max_paths_per_call)
    run->waiting.emplace_back(begin, std::min(paths.size(), begin + max_paths_per_call));
  run->loop = g_main_loop_new(nullptr, FALSE);
  send_calls(run);
  g_main_loop_run(run->loop);
  g_main_loop_unref(run->loop);
  if (run->status != status_parsed)
    return nullptr;
  for (auto &[begin, reply] : run->replies) {
    json_object *part = reply_files(reply.get());
    for (size_t i = 0; i < json_object_array_length(part); ++i)
      json_object_array_add(files.get(), json_object_get(json_object_array_get_idx(part, i)));
    reply.reset();
  }
  return files;
}

// True for an entry the service left out of its call's reply for room.
bool refused_for_room(json_object *entry) {
  json_object *data = nullptr;
  json_object *word = nullptr;
  return json_object_object_get_ex(entry, "data", &data) && json_object_is_type(data, json_type_object) &&
         json_object_object_get_ex(data, "errorText", &word) &&
         strcmp(json_object_get_string(word), "replyTooLarge") == 0;
}

// Asks about `paths` as ask does, and asks again, in further calls, about
// the files whose entries the service refused for room: each call's reply
// holds its records up to a budget, so every round answers at least one more.
json_ptr ask_all(call_run *run, const std::vector<std::string> &paths) {
  json_ptr files = ask(run, paths);
  if (files == nullptr)
    return nullptr;
  std::vector<size_t> refused;
  for (size_t i = 0; i < json_object_array_length(files.get()); ++i)
    if (refused_for_room(json_object_array_get_idx(files.get(), i)))
      refused.push_back(i);
  // A round that answered nothing more would not end.
  if (refused.empty() || refused.size() == paths.size())
    return files;
  std::vector<std::string> again;
  for (size_t i : refused)
    again.push_back(paths[i]);
  call_run next;
  next.connection = run->connection;
  next.which = run->which;
  next.activity = run->activity;
  json_ptr answered = ask_all(&next, again);
  if (answered == nullptr) {
    run->status = next.status;
    run->refused = std::move(next.refused);
    return nullptr;
  }
  for (size_t k = 0; k < refused.size() && k < json_object_array_length(answered.get()); ++k)
    json_object_array_put_idx(files.get(), refused[k], json_object_get(json_object_array_get_idx(answered.get(), k)));
  return files;
}

void print_reply(json_object *reply) { printf("%s\n", reply_text(reply, isatty(STDOUT_FILENO)).c_str()); }

int run_parse(const client_options &options) {
  g_autofree char *cwd = g_get_current_dir();
  // A path that is not UTF-8 can't be named in a bus call: it gets its own
  // entry in its place and the others are asked about.
  std::vector<std::string> paths;
  std::vector<bool> sendable;
  for (const std::string &operand : options.operands) {
    bool valid = g_utf8_validate(operand.c_str(), -1, nullptr);
    sendable.push_back(valid);
    if (valid) {
      paths.push_back(absolute_path(operand, cwd));
    } else {
      g_autofree char *shown = g_strescape(operand.c_str(), nullptr);
      fprintf(stderr, "mediasift: \"%s\" is not valid UTF-8 and can't be sent over the bus (badEncoding)\n", shown);
    }
  }
  call_run run;
  g_autoptr(GDBusConnection) connection = nullptr;
  if (!paths.empty()) {
    connection = connect_bus(options, &run.which);
    if (connection == nullptr)
      return status_unreachable;
    run.connection = connection;
  }
  run.activity = options.has_activity ? &options.activity : nullptr;
  json_ptr asked = ask_all(&run, paths);
  if (asked == nullptr) {
    if (run.refused != nullptr)
      print_reply(run.refused.get());
    return run.status;
  }
  json_ptr merged(json_object_new_object());
  add_field(merged.get(), "returnValue", true);
  json_object *files = json_object_new_array();
  json_object_object_add(merged.get(), "files", files);
  size_t next = 0;
  for (size_t i = 0; i < options.operands.size(); ++i) {
    if (!sendable[i])
      json_object_array_add(files, bad_encoding_entry(options.operands[i].c_str()));
    else if (next < json_object_array_length(asked.get()))
      json_object_array_add(files, json_object_get(json_object_array_get_idx(asked.get(), next++)));
  }
  print_reply(merged.get());
  return files_status(files);
}

int run_picture(const client_options &options) {
  const std::string &out = options.operands[1];
  if (!g_utf8_validate(options.operands[0].c_str(), -1, nullptr)) {
    g_autofree char *shown = g_strescape(options.operands[0].c_str(), nullptr);
    fprintf(stderr, "mediasift: \"%s\" is not valid UTF-8 and can't be sent over the bus (badEncoding)\n", shown);
    return status_failed;
  }
  g_autofree char *cwd = g_get_current_dir();
  std::vector<std::string> paths = {absolute_path(options.operands[0], cwd)};
  std::string error;
  if (!check_picture_target(paths[0], out, options.force, isatty(STDOUT_FILENO), &error)) {
    fprintf(stderr, "mediasift: %s\n", error.c_str());
    return status_failed;
  }
  call_run run;
  g_autoptr(GDBusConnection) connection = connect_bus(options, &run.which);
  if (connection == nullptr)
    return status_unreachable;
  run.connection = connection;
  json_ptr files = ask(&run, paths);
  if (files == nullptr) {
    if (run.refused != nullptr)
      fprintf(stderr, "mediasift: the service refused: %s\n", reply_text(run.refused.get(), false).c_str());
    return run.status;
  }
  json_object *data = nullptr;
  if (json_object_array_length(files.get()) != 1 ||
      !json_object_object_get_ex(json_object_array_get_idx(files.get(), 0), "data", &data)) {
    fprintf(stderr, "mediasift: the service gave no record for %s\n", paths[0].c_str());
    return status_failed;
  }
  picture_place place;
  if (!choose_picture(find_pictures(data), options.index, options.picture_type, &place, &error)) {
    fprintf(stderr, "mediasift: %s in %s\n", error.c_str(), paths[0].c_str());
    return status_failed;
  }
  if (!write_picture(paths[0], place, out, options.force, &error)) {
    fprintf(stderr, "mediasift: %s\n", error.c_str());
    return status_failed;
  }
  return status_parsed;
}

} // namespace

int main(int argc, char **argv) {
  client_options options;
  std::string error;
  if (!parse_command_line(argc - 1, argv + 1, &options, &error))
    return usage_error(error);
  if (options.help) {
    fputs(client_usage, stdout);
    return status_parsed;
  }
  if (options.version) {
    printf("mediasift %s\n", MS_VERSION);
    return status_parsed;
  }
  return options.command == "parse" ? run_parse(options) : run_picture(options);
}

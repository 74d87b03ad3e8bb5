// mediasift: asks the media metadata service about files over the bus.
//
//   mediasift parse [--activity ID] PATH...   prints the service's reply
//   mediasift picture PATH OUT                copies PATH's picture to OUT
//
// The bus is the session bus when DBUS_SESSION_BUS_ADDRESS is set, else the
// system bus; the bus starts the service on the first call.
#include "client/client.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

struct json_deleter {
  void operator()(json_object *value) const { json_object_put(value); }
};
using json_owned = std::unique_ptr<json_object, json_deleter>;

int usage() {
  fprintf(stderr, "usage: mediasift parse [--activity ID] PATH...\n"
                  "       mediasift picture PATH OUT\n");
  return 2;
}

GDBusConnection *connect_bus() {
  const char *session = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  GBusType type = session != nullptr && *session != '\0' ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM;
  g_autoptr(GError) failure = nullptr;
  GDBusConnection *connection = g_bus_get_sync(type, nullptr, &failure);
  if (connection == nullptr)
    fprintf(stderr, "mediasift: cannot reach the bus: %s\n", failure->message);
  return connection;
}

// One "parse" call; the reply's JSON or null (reported). A call that reached
// an instance just as it quit for idleness gets NoReply from the bus: it is
// sent once more, which starts a fresh instance.
json_object *call_parse(GDBusConnection *connection, const std::string &payload) {
  for (int attempt = 0;; ++attempt) {
    g_autoptr(GError) failure = nullptr;
    g_autoptr(GVariant) answer = g_dbus_connection_call_sync(
        connection, service_name, "/", service_name, "parse", g_variant_new("(s)", payload.c_str()),
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, &failure);
    if (answer == nullptr && attempt == 0 && g_error_matches(failure, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY))
      continue;
    if (answer == nullptr) {
      fprintf(stderr, "mediasift: the call failed: %s\n", failure->message);
      return nullptr;
    }
    const char *text = nullptr;
    g_variant_get(answer, "(&s)", &text);
    json_object *reply = json_tokener_parse(text);
    if (reply == nullptr)
      fprintf(stderr, "mediasift: the service's reply is not JSON: %s\n", text);
    return reply;
  }
}

// The absolute forms of `args`, or false (reported) when one cannot be sent:
// a bus string must be valid UTF-8.
bool absolute_paths(char **args, int count, std::vector<std::string> *paths) {
  g_autofree char *cwd = g_get_current_dir();
  for (int i = 0; i < count; ++i) {
    if (!g_utf8_validate(args[i], -1, nullptr)) {
      g_autofree char *shown = g_strescape(args[i], nullptr);
      fprintf(stderr, "mediasift: \"%s\" is not valid UTF-8 and cannot be sent over the bus\n", shown);
      return false;
    }
    paths->push_back(absolute_path(args[i], cwd));
  }
  return true;
}

bool parse_activity(const char *text, int *id) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX)
    return false;
  *id = static_cast<int>(value);
  return true;
}

void print_reply(json_object *reply) { printf("%s\n", reply_text(reply, isatty(STDOUT_FILENO)).c_str()); }

int run_parse(int argc, char **argv) {
  int activity = 0;
  bool has_activity = false;
  int first = 0;
  if (argc >= 1 && strcmp(argv[0], "--activity") == 0) {
    if (argc < 2 || !parse_activity(argv[1], &activity)) {
      fprintf(stderr, "mediasift: --activity needs a whole number\n");
      return 2;
    }
    has_activity = true;
    first = 2;
  }
  if (first >= argc)
    return usage();
  std::vector<std::string> paths;
  if (!absolute_paths(argv + first, argc - first, &paths))
    return 2;
  g_autoptr(GDBusConnection) connection = connect_bus();
  if (connection == nullptr)
    return 1;

  json_owned merged(json_object_new_object());
  json_object_object_add(merged.get(), "returnValue", json_object_new_boolean(true));
  json_object_object_add(merged.get(), "files", json_object_new_array());
  for (const std::string &payload : parse_payloads(paths, has_activity ? &activity : nullptr, max_paths_per_call)) {
    json_owned reply(call_parse(connection, payload));
    if (reply == nullptr)
      return 1;
    if (!merge_reply(merged.get(), reply.get())) {
      // A refused call: its reply says why.
      print_reply(reply.get());
      return 1;
    }
  }
  print_reply(merged.get());
  return 0;
}

int run_picture(int argc, char **argv) {
  if (argc != 2)
    return usage();
  std::vector<std::string> paths;
  if (!absolute_paths(argv, 1, &paths))
    return 2;
  g_autoptr(GDBusConnection) connection = connect_bus();
  if (connection == nullptr)
    return 1;
  json_owned reply(call_parse(connection, parse_payloads(paths, nullptr, 1)[0]));
  if (reply == nullptr)
    return 1;
  json_object *files = nullptr;
  json_object *data = nullptr;
  if (!json_object_object_get_ex(reply.get(), "files", &files) || json_object_array_length(files) != 1 ||
      !json_object_object_get_ex(json_object_array_get_idx(files, 0), "data", &data)) {
    fprintf(stderr, "mediasift: the service gave no record for %s: %s\n", paths[0].c_str(),
            json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN));
    return 1;
  }
  int64_t offset = 0;
  int64_t length = 0;
  if (!find_picture(data, &offset, &length)) {
    fprintf(stderr, "mediasift: no picture located in %s\n", paths[0].c_str());
    return 1;
  }
  std::string error;
  if (!copy_range(paths[0], offset, length, argv[1], &error)) {
    fprintf(stderr, "mediasift: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2)
    return usage();
  if (strcmp(argv[1], "parse") == 0)
    return run_parse(argc - 2, argv + 2);
  if (strcmp(argv[1], "picture") == 0)
    return run_picture(argc - 2, argv + 2);
  return usage();
}

#include "bus/ipc.h"

#include "extract/json_helpers.h"
#include "extract/log.h"

#include <cstdlib>

namespace {

// The "data" of one entry: the worker's record text parsed again, or null
// (logged) when it does not parse. A reply must be valid UTF-8 to travel on
// the bus, so a record holding invalid bytes has them replaced with U+FFFD
// rather than making the whole reply unsendable.
json_object *entry_data(json_tokener *tokener, const char *path, const char *text) {
  g_autofree char *valid = nullptr;
  if (!g_utf8_validate(text, -1, nullptr)) {
    log_error("Metadata returned is not valid UTF-8! %s\n", path);
    valid = g_utf8_make_valid(text, -1);
    text = valid;
  }
  // What json_tokener_parse does, with one tokener for the whole reply
  // instead of a new one per entry.
  json_tokener_reset(tokener);
  json_object *data = json_tokener_parse_ex(tokener, text, -1);
  if (json_tokener_get_error(tokener) != json_tokener_success) {
    json_object_put(data);
    data = nullptr;
  }
  if (data == nullptr || !json_is_created(data)) {
    log_error("Failed to parse metadata returned! %s\n%s\n", path, text);
    return nullptr;
  }
  return data;
}

} // namespace

json_object *build_parse_reply(GArray const *results, GArray const *sizes, GArray const *modified,
                               GArray const *files) {
  json_object *reply = build_reply(true, nullptr);
  if (reply == nullptr) {
    log_error("Failed to build parse response complete.\n");
    return nullptr;
  }
  json_object *array = json_object_new_array();
  if (!json_is_created(array)) {
    log_error("Failed to build reply to parse!\n");
    json_object_put(reply);
    return nullptr;
  }
  // Every entry needs its path, size and time: never read past the shortest.
  guint count = MIN(MIN(results->len, sizes->len), MIN(modified->len, files != nullptr ? files->len : 0));
  if (count != results->len)
    log_error("Reply has %u results for %u paths!\n", results->len, files != nullptr ? files->len : 0);
  json_tokener *tokener = json_tokener_new();
  for (guint i = 0; i < count; ++i) {
    json_object *entry = json_object_new_object();
    if (!json_is_created(entry)) {
      log_error("Failed to build reply for action type!\n");
      json_object_array_add(array, nullptr);
      continue;
    }
    const char *path = g_array_index(files, char *, i);
    add_field(entry, "path", path);
    add_field(entry, "size", g_array_index(sizes, double, i));
    add_field(entry, "modified", g_array_index(modified, double, i));
    const char *text = g_array_index(results, char *, i);
    if (text != nullptr) {
      json_object *data = tokener != nullptr ? entry_data(tokener, path, text) : nullptr;
      if (data != nullptr)
        json_object_object_add(entry, "data", data);
    }
    json_object_array_add(array, entry);
  }
  if (tokener != nullptr)
    json_tokener_free(tokener);
  json_object_object_add(reply, "files", array);
  return reply;
}

void quarn_ipc_reap(GArray const *results, GArray const *sizes, GArray const *modified, void *context) {
  auto *request = static_cast<parse_request *>(context);
  if (request == nullptr)
    return;
  json_object *reply = build_parse_reply(results, sizes, modified, request->files);
  if (reply != nullptr) {
    if (!send_reply(quarn_ipc_handle(), request->message, reply)) {
      log_error("Failed to send reply from reap! Terminating.\n");
      log_error("Reply was: %s\n", json_object_to_json_string(reply));
      exit(1);
    }
    json_object_put(reply);
  }
  parse_request_free(request);
}

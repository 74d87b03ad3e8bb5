#include "bus/ipc.h"

#include "base/json_helpers.h"
#include "base/log.h"

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

// The reply is written out entry by entry, each entry's tree living only
// while it is written, so that a call of thousands of files holds their
// texts rather than thousands of parsed trees at once (about 7 KB a file).
// The text is the one json-c writes for the whole reply object in its
// default, spaced form: objects as { "key": value, ... } and arrays as
// [ value, ... ].
char *build_parse_reply(GArray const *results, GArray const *sizes, GArray const *modified, GArray const *files) {
  // Every entry needs its path, size and time: never read past the shortest.
  guint count = MIN(MIN(results->len, sizes->len), MIN(modified->len, files != nullptr ? files->len : 0));
  if (count != results->len)
    log_error("Reply has %u results for %u paths!\n", results->len, files != nullptr ? files->len : 0);
  GString *text = g_string_new("{ \"returnValue\": true, \"files\": [");
  json_tokener *tokener = json_tokener_new();
  for (guint i = 0; i < count; ++i) {
    g_string_append(text, i > 0 ? ", " : " ");
    json_ptr entry(json_object_new_object());
    if (!json_is_created(entry.get())) {
      log_error("Failed to build reply for action type!\n");
      g_string_append(text, "null");
      continue;
    }
    const char *path = g_array_index(files, char *, i);
    add_field(entry.get(), "path", path);
    add_field(entry.get(), "size", g_array_index(sizes, double, i));
    add_field(entry.get(), "modified", g_array_index(modified, double, i));
    const char *record = g_array_index(results, char *, i);
    if (record != nullptr) {
      json_object *data = tokener != nullptr ? entry_data(tokener, path, record) : nullptr;
      if (data != nullptr)
        json_object_object_add(entry.get(), "data", data);
    }
    g_string_append(text, json_object_to_json_string(entry.get()));
    if (text->len > reply_limit_bytes)
      break;
  }
  if (tokener != nullptr)
    json_tokener_free(tokener);
  g_string_append(text, " ] }");
  if (text->len > reply_limit_bytes) {
    g_string_free(text, TRUE);
    return nullptr;
  }
  return g_string_free(text, FALSE);
}

void quarn_ipc_reap(GArray const *results, GArray const *sizes, GArray const *modified, void *context) {
  auto *request = static_cast<parse_request *>(context);
  if (request == nullptr)
    return;
  g_autofree char *reply = build_parse_reply(results, sizes, modified, request->files);
  if (reply == nullptr) {
    // Only this call is lost; sent, the bus would cut the service off.
    log_error("Reply of %u files too large to send, refused.\n", results->len);
    build_and_send_error(quarn_ipc_handle(), request->message, "replyTooLarge");
  } else if (!send_reply_text(quarn_ipc_handle(), request->message, reply)) {
    log_error("Failed to send reply from reap! Terminating.\n");
    log_error("Reply was: %s\n", reply);
    exit(1);
  }
  parse_request_free(request);
}

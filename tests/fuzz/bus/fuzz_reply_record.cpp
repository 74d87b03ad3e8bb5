// A worker taken over by a hostile file may answer with any record text. The
// reply built around it must still be one valid JSON text in valid UTF-8, and
// whatever the record check lets through as it stands must be JSON that
// json-c's strict tokener takes too.
#include "bus/ipc.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_autofree char *text = g_utf8_make_valid(reinterpret_cast<const char *>(data), static_cast<gssize>(size));
  record_span span = record_value(text);
  if (span.text != nullptr) {
    json_tokener *strict = json_tokener_new();
    json_tokener_set_flags(strict, JSON_TOKENER_STRICT);
    // With its terminating zero, so that a bare number is known to end.
    std::string value(span.text, span.length);
    json_object *parsed = json_tokener_parse_ex(strict, value.c_str(), static_cast<int>(value.size() + 1));
    bool taken = json_tokener_get_error(strict) == json_tokener_success;
    json_object_put(parsed);
    json_tokener_free(strict);
    if (!taken)
      abort();
  }
  GArray *results = g_array_new(FALSE, FALSE, sizeof(char *));
  GArray *numbers = g_array_new(FALSE, FALSE, sizeof(double));
  GArray *files = g_array_new(FALSE, FALSE, sizeof(char *));
  const char *path = "/a\"b\\c";
  double zero = 0;
  g_array_append_val(results, text);
  g_array_append_val(numbers, zero);
  g_array_append_val(files, path);
  g_autofree char *reply = build_parse_reply(results, numbers, numbers, files);
  json_object *parsed = reply != nullptr ? json_tokener_parse(reply) : nullptr;
  if (reply != nullptr && (parsed == nullptr || !g_utf8_validate(reply, -1, nullptr)))
    abort();
  json_object_put(parsed);
  for (GArray *array : {results, numbers, files})
    g_array_free(array, TRUE);
  return 0;
}

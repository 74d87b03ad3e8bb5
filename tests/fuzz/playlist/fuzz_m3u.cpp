// The M3U parser over arbitrary bytes: it always adds an "m3u" object, and
// every string in it is valid UTF-8.
#include "base/json_helpers.h"
#include "formats/playlist/playlist.h"
#include "fuzz_support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_ptr root(json_object_new_object());
  parse_m3u(file, root.get(), "fuzz.m3u");
  fclose(file);
  json_object *m3u = nullptr;
  if (!json_object_object_get_ex(root.get(), "m3u", &m3u))
    abort();
  if (!g_utf8_validate(json_object_to_json_string(root.get()), -1, nullptr))
    abort();
  return 0;
}

// The M3U parser over arbitrary bytes: it always adds an "m3u" object, and
// every string in it is valid UTF-8.
#include "base/json_helpers.h"
#include "formats/playlist/playlist.h"
#include "fuzz_support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_m3u(file, root, "fuzz.m3u"); },
             [](json_object *root) {
               json_object *m3u = nullptr;
               if (!json_object_object_get_ex(root, "m3u", &m3u) ||
                   !g_utf8_validate(json_object_to_json_string(root), -1, nullptr))
                 abort();
             });
  return 0;
}

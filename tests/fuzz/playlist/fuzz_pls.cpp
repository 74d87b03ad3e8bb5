// The PLS parser over arbitrary bytes: it always adds a "pls" object, whose
// entries stop at an entry number some key of the input carries, and never
// pass what the largest playlist could number.
#include "base/json_helpers.h"
#include "formats/playlist/playlist.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// The highest number written right after "File", "Title" or "Length"
// anywhere in the input: no entry may be numbered above it.
size_t highest_number_after_prefix(const uint8_t *data, size_t size) {
  size_t highest = 0;
  for (const char *prefix : {"File", "Title", "Length"}) {
    size_t length = strlen(prefix);
    for (size_t i = 0; i + length <= size; ++i) {
      if (memcmp(data + i, prefix, length) != 0)
        continue;
      size_t number = 0;
      for (size_t k = i + length; k < size && data[k] >= '0' && data[k] <= '9' && number < SIZE_MAX / 10; ++k)
        number = number * 10 + (data[k] - '0');
      highest = std::max(highest, number);
    }
  }
  return highest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_pls(file, root, "fuzz.pls"); },
             [data, size](json_object *root) {
               json_object *pls = nullptr;
               if (!json_object_object_get_ex(root, "pls", &pls))
                 abort();
               json_object *entries = nullptr;
               size_t count = json_object_object_get_ex(pls, "entries", &entries) ? json_object_array_length(entries) : 0;
               if (count > static_cast<size_t>(playlist_size_limit / 6) ||
                   count > highest_number_after_prefix(data, size) ||
                   !g_utf8_validate(json_object_to_json_string(root), -1, nullptr))
                 abort();
             });
  return 0;
}

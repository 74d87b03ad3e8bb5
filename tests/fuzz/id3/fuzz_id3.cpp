// The MP3 path over arbitrary bytes given as a file with a real descriptor:
// the tag read, the library's parse or its own file reading, the frame
// mapping and the picture scan. Every location given must lie inside the
// input. The scan also runs on its own over the raw bytes, so that it meets
// tags the library would reject.
#include "formats/id3/id3.h"

#include "base/json_helpers.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check_locations(json_object *id3, size_t size) {
  json_object *pictures = json_object_object_get(id3, "APIC");
  if (pictures == nullptr || !json_object_is_type(pictures, json_type_array))
    return;
  for (size_t i = 0; i < json_object_array_length(pictures); ++i) {
    json_object *picture = json_object_array_get_idx(pictures, i);
    int offset = 0, length = 0;
    if (get_int_field(picture, "thumbOffset", &offset) &&
        (!get_int_field(picture, "thumbSize", &length) || offset < 0 || length < 1 ||
         static_cast<size_t>(offset) + static_cast<size_t>(length) > size))
      abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_id3(file, root, "fuzz.mp3"); },
             [size](json_object *root) { check_locations(json_object_object_get(root, "id3"), size); });
  if (size >= 10) {
    // Decoded images taken from the input's own tail, so that some of them
    // are found; every location given must hold its image.
    json_ptr id3(json_tokener_parse(R"({"APIC":[{"type":3},{"type":0},{"type":3}]})"));
    json_object *objects = json_object_object_get(id3.get(), "APIC");
    std::vector<id3_picture> decoded;
    for (size_t i = 0; i < 3; ++i) {
      size_t length = std::min(size, size_t{1} << (2 * i));
      decoded.push_back({json_object_array_get_idx(objects, i), data + size - length, length});
    }
    locate_apic_data(data, size, data[5], id3.get(), decoded, 2);
    check_locations(id3.get(), size);
    for (const id3_picture &picture : decoded) {
      int offset = 0, length = 0;
      if (get_int_field(picture.object, "thumbOffset", &offset) &&
          (!get_int_field(picture.object, "thumbSize", &length) || static_cast<size_t>(length) != picture.length ||
           memcmp(data + offset, picture.data, picture.length) != 0))
        abort();
    }
  }
  return 0;
}

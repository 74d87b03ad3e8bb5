// The WAV reader over arbitrary bytes: no read outside a buffer, no leak,
// and every picture its ID3 chunk locates lies inside the input.
#include "formats/wav/wav.h"
#include "fuzz_support.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_object *root = json_object_new_object();
  parse_wav(file, root, nullptr);
  fclose(file);
  json_object *id3 = json_object_object_get(json_object_object_get(root, "wav"), "id3");
  json_object *pictures = json_object_object_get(id3, "APIC");
  for (size_t i = 0; json_object_is_type(pictures, json_type_array) && i < json_object_array_length(pictures); ++i) {
    json_object *picture = json_object_array_get_idx(pictures, i);
    json_object *offset = json_object_object_get(picture, "thumbOffset");
    json_object *length = json_object_object_get(picture, "thumbSize");
    if (offset != nullptr &&
        static_cast<uint64_t>(json_object_get_int64(offset)) + json_object_get_int64(length) > size)
      abort();
  }
  json_object_to_json_string(root);
  json_object_put(root);
  return 0;
}

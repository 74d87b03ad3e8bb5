// One photo reader (PHOTO_PARSER: parse_png, parse_webp or parse_heif) over
// arbitrary bytes: no read outside a buffer, no leak, and a thumbnail
// location, when one is given, inside the input.
#include "formats/photo/photo.h"
#include "fuzz_support.h"

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_object *root = json_object_new_object();
  PHOTO_PARSER(file, root, nullptr);
  fclose(file);
  json_object *exif = json_object_object_get(root, "exif");
  json_object *offset = json_object_object_get(exif, "thumbOffset");
  json_object *length = json_object_object_get(exif, "thumbLength");
  if (offset != nullptr &&
      (length == nullptr || static_cast<uint64_t>(json_object_get_int64(offset)) + json_object_get_int64(length) > size))
    abort();
  json_object_to_json_string(root);
  json_object_put(root);
  return 0;
}

// One photo reader (PHOTO_PARSER: parse_png, parse_webp or parse_heif) over
// arbitrary bytes: no read outside a buffer, no leak, and a thumbnail
// location, when one is given, inside the input.
#include "formats/photo/photo.h"
#include "fuzz_support.h"
#include "picture_checks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { PHOTO_PARSER(file, root, nullptr); },
             [size](json_object *root) { check_location(json_object_object_get(root, "exif"), "thumbLength", size); });
  return 0;
}

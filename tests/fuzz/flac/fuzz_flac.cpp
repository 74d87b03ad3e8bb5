// The FLAC reader over arbitrary bytes: no read outside a buffer, no leak,
// and every located picture lies inside the input.
#include "formats/flac/flac.h"
#include "fuzz_support.h"
#include "picture_checks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_flac(file, root, nullptr); },
             [size](json_object *root) {
               check_picture_locations(json_object_object_get(json_object_object_get(root, "flac"), "pictures"), size);
             });
  return 0;
}

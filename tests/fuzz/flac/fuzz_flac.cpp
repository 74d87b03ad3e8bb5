// The FLAC reader over arbitrary bytes: no read outside a buffer, no leak,
// and every located picture lies inside the input.
#include "formats/flac/flac.h"
#include "fuzz_support.h"
#include "picture_checks.h"

#include <json-c/json.h>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_object *root = json_object_new_object();
  parse_flac(file, root, nullptr);
  fclose(file);
  check_picture_locations(json_object_object_get(json_object_object_get(root, "flac"), "pictures"), size);
  json_object_to_json_string(root);
  json_object_put(root);
  return 0;
}

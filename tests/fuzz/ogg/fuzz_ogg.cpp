// The Ogg reader over arbitrary bytes: no read outside a buffer, no leak,
// no endless page walk.
#include "formats/ogg/ogg.h"
#include "fuzz_support.h"

#include <json-c/json.h>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_object *root = json_object_new_object();
  parse_ogg(file, root, nullptr);
  fclose(file);
  json_object_to_json_string(root);
  json_object_put(root);
  return 0;
}

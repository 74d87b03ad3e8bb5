// The WAV reader over arbitrary bytes: no read outside a buffer, no leak,
// and every picture its ID3 chunk locates lies inside the input.
#include "formats/wav/wav.h"
#include "fuzz_support.h"
#include "picture_checks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_wav(file, root, nullptr); },
             [size](json_object *root) {
               json_object *id3 = json_object_object_get(json_object_object_get(root, "wav"), "id3");
               check_picture_locations(json_object_object_get(id3, "APIC"), size);
             });
  return 0;
}

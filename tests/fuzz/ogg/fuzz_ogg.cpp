// The Ogg reader over arbitrary bytes: no read outside a buffer, no leak,
// no endless page walk.
#include "formats/ogg/ogg.h"
#include "fuzz_support.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { parse_ogg(file, root, nullptr); }, [](json_object *) {});
  return 0;
}

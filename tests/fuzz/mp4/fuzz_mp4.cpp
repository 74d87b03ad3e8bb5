// The MPEG-4 parser over arbitrary bytes: no read outside a buffer, no leak,
// and a cover location, when one is given, that lies after its data header.
#include "fuzz_support.h"
#include "formats/mp4/mp4.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, parse_mp4, [](json_object *root) {
    json_object *mp4 = json_object_object_get(root, "mp4");
    json_object *offset = json_object_object_get(mp4, "thumbOffset");
    json_object *length = json_object_object_get(mp4, "thumbSize");
    if ((offset == nullptr) != (length == nullptr))
      abort();
    if (offset != nullptr && (json_object_get_int64(offset) < 16 || json_object_get_int64(length) < 0))
      abort();
  });
  return 0;
}

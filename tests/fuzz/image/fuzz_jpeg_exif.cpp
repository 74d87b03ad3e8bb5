// The whole JPEG path over arbitrary bytes: the segment walk and thumbnail
// search on the stream, then libexif's load of the same open file.
// A thumbnail location must always lie inside the file.
#include "base/json_helpers.h"
#include "formats/image/image.h"
#include "fuzz_support.h"

#include <cstdlib>

namespace {

int64_t member(json_object *exif, const char *key) {
  json_object *value = json_object_object_get(exif, key);
  return value ? json_object_get_int64(value) : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_ptr root(json_object_new_object());
  parse_exif(file, root.get(), "fuzz.jpg");
  fclose(file);
  json_object *exif = json_object_object_get(root.get(), "exif");
  int64_t offset = member(exif, "thumbOffset");
  if (offset >= 0 && offset + member(exif, "thumbLength") > static_cast<int64_t>(size))
    abort();
  json_object_to_json_string(root.get());
  return 0;
}

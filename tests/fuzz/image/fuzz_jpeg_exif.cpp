// The whole JPEG path over arbitrary bytes: the segment walk and thumbnail
// search on the stream, then libexif's load of the same open file.
// A thumbnail location must always lie inside the file. The readers of the
// members after "subtype" (the size of every picture format, the GPS
// position) run over the same bytes.
#include "base/json_helpers.h"
#include "formats/image/image.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <initializer_list>

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
  for (image_kind kind : {image_kind::png, image_kind::gif, image_kind::bmp, image_kind::tiff, image_kind::jpeg}) {
    json_ptr members(json_object_new_object());
    add_image_members(kind, file, members.get());
    json_object *image = json_object_object_get(members.get(), "image");
    if (image != nullptr && (member(image, "width") <= 0 || member(image, "height") <= 0))
      abort();
    json_object_to_json_string(members.get());
  }
  fclose(file);
  json_object *exif = json_object_object_get(root.get(), "exif");
  int64_t offset = member(exif, "thumbOffset");
  if (offset >= 0 && offset + member(exif, "thumbLength") > static_cast<int64_t>(size))
    abort();
  json_object_to_json_string(root.get());
  return 0;
}

// One reader (FUZZ_TARGET names it) over arbitrary bytes given as a file:
// no read outside a buffer, no leak, no endless walk, and every picture
// location its record gives lies inside the input (an MPEG-4 cover: after its
// data header, with a size beside it).
#include "formats/flac/flac.h"
#include "formats/mp4/mp4.h"
#include "formats/ogg/ogg.h"
#include "formats/photo/photo.h"
#include "formats/wav/wav.h"
#include "fuzz_support.h"

#include <cstring>

namespace {

json_object *get(json_object *object, const char *key) { return json_object_object_get(object, key); }

void check_mp4(json_object *root, size_t) {
  json_object *offset = get(get(root, "mp4"), "thumbOffset");
  json_object *length = get(get(root, "mp4"), "thumbSize");
  if ((offset == nullptr) != (length == nullptr) ||
      (offset != nullptr && (json_object_get_int64(offset) < 16 || json_object_get_int64(length) < 0)))
    abort();
}

void check_photo(json_object *root, size_t size) { check_location(get(root, "exif"), "thumbLength", size); }

struct reader {
  const char *name;
  void (*parse)(FILE *, json_object *);
  void (*check)(json_object *, size_t);
};

const reader readers[] = {
    {"flac", [](FILE *f, json_object *r) { parse_flac(f, r, nullptr); },
     [](json_object *r, size_t size) { check_picture_locations(get(get(r, "flac"), "pictures"), size); }},
    {"wav", [](FILE *f, json_object *r) { parse_wav(f, r, nullptr); },
     [](json_object *r, size_t size) { check_picture_locations(get(get(get(r, "wav"), "id3"), "APIC"), size); }},
    {"ogg", [](FILE *f, json_object *r) { parse_ogg(f, r, nullptr); }, [](json_object *, size_t) {}},
    {"mp4", [](FILE *f, json_object *r) { parse_mp4(f, r); }, check_mp4},
    {"png", [](FILE *f, json_object *r) { parse_png(f, r, nullptr); }, check_photo},
    {"webp", [](FILE *f, json_object *r) { parse_webp(f, r, nullptr); }, check_photo},
    {"heif", [](FILE *f, json_object *r) { parse_heif(f, r, nullptr); }, check_photo},
};

const reader &chosen() {
  for (const reader &r : readers)
    if (strcmp(r.name, FUZZ_TARGET) == 0)
      return r;
  abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const reader &r = chosen();
  fuzz_parse(data, size, r.parse, [size](json_object *root) { r.check(root, size); });
  return 0;
}

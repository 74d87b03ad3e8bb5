// One reader (FUZZ_TARGET names it) over arbitrary bytes given as a file:
// no read outside a buffer, no leak, no endless walk, and every picture
// location its record gives lies inside the input (an MPEG-4 cover: after its
// data header, with a size beside it). A playlist parser always adds its
// member, all valid UTF-8; PLS entries stop at an entry number some key of the
// input carries and never pass what the largest playlist could number.
#include "formats/flac/flac.h"
#include "formats/mp4/mp4.h"
#include "formats/ogg/ogg.h"
#include "formats/photo/photo.h"
#include "formats/playlist/playlist.h"
#include "formats/wav/wav.h"
#include "fuzz_support.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

json_object *get(json_object *object, const char *key) { return json_object_object_get(object, key); }

// The highest number written right after "File", "Title" or "Length"
// anywhere in the input: no entry may be numbered above it.
size_t highest_number_after_prefix(const uint8_t *data, size_t size) {
  size_t highest = 0;
  for (const char *prefix : {"File", "Title", "Length"}) {
    size_t length = strlen(prefix);
    for (size_t i = 0; i + length <= size; ++i) {
      if (memcmp(data + i, prefix, length) != 0)
        continue;
      size_t number = 0;
      for (size_t k = i + length; k < size && data[k] >= '0' && data[k] <= '9' && number < SIZE_MAX / 10; ++k)
        number = number * 10 + (data[k] - '0');
      highest = std::max(highest, number);
    }
  }
  return highest;
}

void check_playlist(const char *key, json_object *root) {
  if (get(root, key) == nullptr || !g_utf8_validate(json_object_to_json_string(root), -1, nullptr))
    abort();
}

void check_pls(const uint8_t *data, size_t size, json_object *root) {
  check_playlist("pls", root);
  json_object *entries = get(get(root, "pls"), "entries");
  size_t count = entries != nullptr ? json_object_array_length(entries) : 0;
  if (count > static_cast<size_t>(playlist_size_limit / 6) || count > highest_number_after_prefix(data, size))
    abort();
}

void check_mp4(const uint8_t *, size_t, json_object *root) {
  json_object *offset = get(get(root, "mp4"), "thumbOffset");
  json_object *length = get(get(root, "mp4"), "thumbSize");
  if ((offset == nullptr) != (length == nullptr) ||
      (offset != nullptr && (json_object_get_int64(offset) < 16 || json_object_get_int64(length) < 0)))
    abort();
}

void check_photo(const uint8_t *, size_t size, json_object *root) {
  check_location(get(root, "exif"), "thumbLength", size);
}

struct reader {
  const char *name;
  void (*parse)(FILE *, json_object *);
  void (*check)(const uint8_t *, size_t, json_object *);
};

const reader readers[] = {
    {"flac", [](FILE *f, json_object *r) { parse_flac(f, r, nullptr); },
     [](const uint8_t *, size_t size, json_object *r) {
       check_picture_locations(get(get(r, "flac"), "pictures"), size);
     }},
    {"wav", [](FILE *f, json_object *r) { parse_wav(f, r, nullptr); },
     [](const uint8_t *, size_t size, json_object *r) {
       check_picture_locations(get(get(get(r, "wav"), "id3"), "APIC"), size);
     }},
    {"ogg", [](FILE *f, json_object *r) { parse_ogg(f, r, nullptr); }, [](const uint8_t *, size_t, json_object *) {}},
    {"mp4", [](FILE *f, json_object *r) { parse_mp4(f, r); }, check_mp4},
    {"png", [](FILE *f, json_object *r) { parse_png(f, r, nullptr); }, check_photo},
    {"webp", [](FILE *f, json_object *r) { parse_webp(f, r, nullptr); }, check_photo},
    {"heif", [](FILE *f, json_object *r) { parse_heif(f, r, nullptr); }, check_photo},
    {"m3u", [](FILE *f, json_object *r) { parse_m3u(f, r, "fuzz.m3u"); },
     [](const uint8_t *, size_t, json_object *r) { check_playlist("m3u", r); }},
    {"pls", [](FILE *f, json_object *r) { parse_pls(f, r, "fuzz.pls"); }, check_pls},
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
  fuzz_parse(data, size, r.parse, [data, size](json_object *root) { r.check(data, size, root); });
  return 0;
}

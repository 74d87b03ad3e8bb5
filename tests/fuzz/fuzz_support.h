// Shared pieces of the fuzz targets.
#pragma once

#include "support/byte_stream.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A read-only stream over the bytes with a real descriptor behind it (a
// memfd), as the parsers get from the dispatch.
inline FILE *fuzz_stream(const uint8_t *data, size_t size) {
  return stream_from_bytes(std::string(reinterpret_cast<const char *>(data), size));
}

// Runs `parse(file, root)` over a stream of the bytes, hands the record to
// `check` (which aborts on what must not happen) and writes it out as text,
// which every member must survive.
template <typename Parse, typename Check>
void fuzz_parse(const uint8_t *data, size_t size, Parse parse, Check check) {
  FILE *file = fuzz_stream(data, size);
  json_object *root = json_object_new_object();
  parse(file, root);
  fclose(file);
  check(root);
  json_object_to_json_string(root);
  json_object_put(root);
}

// Aborts when `object` gives a "thumbOffset" without `length_key`, or a place
// that does not lie inside the `size` bytes of input. A length alone is fine:
// an EXIF block can say how long its thumbnail is where the walk finds no
// place for it.
inline void check_location(json_object *object, const char *length_key, size_t size) {
  json_object *offset = json_object_object_get(object, "thumbOffset");
  if (offset == nullptr)
    return;
  json_object *length = json_object_object_get(object, length_key);
  if (length == nullptr || json_object_get_int64(offset) < 0 || json_object_get_int64(length) < 0 ||
      static_cast<uint64_t>(json_object_get_int64(offset)) + static_cast<uint64_t>(json_object_get_int64(length)) > size)
    abort();
}

// The same for each picture of `pictures` (an array, or null).
inline void check_picture_locations(json_object *pictures, size_t size) {
  if (!json_object_is_type(pictures, json_type_array))
    return;
  for (size_t i = 0; i < json_object_array_length(pictures); ++i)
    check_location(json_object_array_get_idx(pictures, i), "thumbSize", size);
}

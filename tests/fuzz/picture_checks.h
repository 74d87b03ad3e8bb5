// The check the fuzz targets make on every picture a record locates.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>

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

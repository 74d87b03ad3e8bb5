#include "extract/audio.h"

#include "base/json_helpers.h"

#include <initializer_list>

namespace {

// Copies `key` of `from` to `to` when it is a number.
void copy_number(json_object *from, json_object *to, const char *key) {
  json_object *value = json_object_object_get(from, key);
  if (json_object_is_type(value, json_type_double))
    add_short_double(to, key, json_object_get_double(value));
  else if (json_object_is_type(value, json_type_int)) {
    json_object *copy = json_object_new_int64(json_object_get_int64(value));
    if (json_is_created(copy))
      json_object_object_add(to, key, copy);
  }
}

} // namespace

void add_audio_from_record(json_object *root) {
  json_object *member = nullptr;
  for (const char *key : {"flac", "vorbis", "wav"})
    if (json_object_is_type(member = json_object_object_get(root, key), json_type_object))
      break;
  if (!json_object_is_type(member, json_type_object))
    return;
  json_ptr audio(json_object_new_object());
  if (!json_is_created(audio.get()))
    return;
  copy_number(member, audio.get(), "duration");
  json_object *byte_rate = json_object_object_get(member, "byteRate");
  if (json_object_is_type(byte_rate, json_type_int) && json_object_get_int64(byte_rate) > 0)
    add_field(audio.get(), "bitrate", static_cast<int>((json_object_get_int64(byte_rate) * 8 + 500) / 1000));
  copy_number(member, audio.get(), "sampleRate");
  copy_number(member, audio.get(), "channels");
  if (json_object_object_get(audio.get(), "duration") != nullptr ||
      json_object_object_get(audio.get(), "sampleRate") != nullptr)
    json_object_object_add(root, "audio", audio.release());
}

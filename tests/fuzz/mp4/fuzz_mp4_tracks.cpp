// The MPEG-4 members that follow "subtype" over arbitrary bytes: "audio" and
// "video" from the walk bounded by each box, "tags" and "pictures" from the
// "mp4" member the parser made of the same bytes (the covers read again
// must lie in the input). The box decoders also run straight over the
// bytes, so that every sample entry layout is met.
#include "fuzz_support.h"
#include "extract/pictures.h"
#include "extract/tags.h"
#include "formats/mp4/mp4.h"
#include "formats/mp4/mp4_tracks.h"

#include "base/json_helpers.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (FILE *file = fuzz_stream(data, size)) {
    json_ptr root(json_object_new_object());
    parse_mp4(file, root.get());
    add_mp4_tracks(file, root.get());
    add_tags(root.get(), "");
    add_pictures(file, root.get());
    fclose(file);
    int channels = 0;
    json_object *audio = json_object_object_get(root.get(), "audio");
    if (audio != nullptr && get_int_field(audio, "channels", &channels) && channels <= 0)
      abort();
    json_object *pictures = json_object_object_get(root.get(), "pictures");
    for (size_t i = 1; pictures != nullptr && i < json_object_array_length(pictures); ++i) {
      json_object *p = json_object_array_get_idx(pictures, i);
      int64_t offset = json_object_get_int64(json_object_object_get(p, "offset"));
      int64_t length = json_object_get_int64(json_object_object_get(p, "size"));
      if (offset < 16 || length < 0 || static_cast<uint64_t>(offset + length) > size)
        abort();
    }
    json_object_to_json_string(root.get());
  }
  int rate = 0, channels = 0, width = 0, height = 0;
  double seconds = 0;
  mp4_sound_entry(data, size, &rate, &channels);
  mp4_media_duration(data, size, &seconds);
  mp4_track_size(data, size, &width, &height);
  mp4_edit_duration(data, size);
  return 0;
}

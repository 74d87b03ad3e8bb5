// The MPEG-4 "audio" and "video" members over arbitrary bytes: the walk
// bounded by each box, and the decoders of the boxes it reads, which also
// run straight over the bytes so that every sample entry layout is met.
#include "fuzz_support.h"
#include "formats/mp4/mp4_tracks.h"

#include "base/json_helpers.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (FILE *file = fuzz_stream(data, size)) {
    json_ptr root(json_object_new_object());
    add_mp4_tracks(file, root.get());
    fclose(file);
    int channels = 0;
    json_object *audio = json_object_object_get(root.get(), "audio");
    if (audio != nullptr && get_int_field(audio, "channels", &channels) && channels <= 0)
      abort();
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

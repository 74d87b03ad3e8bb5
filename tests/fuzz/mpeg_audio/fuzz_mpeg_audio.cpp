// The MP3 "audio" member over arbitrary bytes: the tag skip, the bounded
// search for the first frame, the Xing/Info and VBRI headers and the
// summary, both through a file and straight over the bytes. A frame found
// must lie in the buffer, and a member given must hold sane numbers.
#include "formats/id3/mp3_audio.h"
#include "formats/id3/mpeg_frame.h"

#include "base/json_helpers.h"
#include "fuzz_support.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

void check_member(json_object *audio) {
  if (audio == nullptr)
    return;
  double duration = json_object_get_double(json_object_object_get(audio, "duration"));
  int rate = 0, channels = 0, bitrate = 0;
  if (!std::isfinite(duration) || duration <= 0 || !get_int_field(audio, "sampleRate", &rate) ||
      !get_int_field(audio, "channels", &channels) || !get_int_field(audio, "bitrate", &bitrate) || rate < 8000 ||
      rate > 48000 || (channels != 1 && channels != 2) || bitrate < 0)
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_parse(data, size, [](FILE *file, json_object *root) { add_mp3_audio(file, root); },
             [](json_object *root) { check_member(json_object_object_get(root, "audio")); });
  mpeg_frame frame;
  const size_t at = mpeg_find_first_frame(data, size, size % 2 == 0, &frame);
  // A frame found lies whole in the buffer.
  if (at > size || (at < size && frame.length > size - at))
    abort();
  if (at < size) {
    mpeg_vbr_header header = mpeg_read_vbr_header(data + at, size - at, frame);
    mpeg_audio_summary summary;
    if (mpeg_audio_summarise(frame, header, size - at, &summary) && !(summary.duration > 0))
      abort();
  }
  return 0;
}

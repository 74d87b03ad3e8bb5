#include "formats/id3/mp3_audio.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3.h"
#include "formats/id3/mpeg_frame.h"


#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t tag_header_size = 10;
constexpr size_t id3v1_size = 128;
// The first window holds this much from the start of the file: the tag
// header and, behind a small tag, the first frames. Behind a larger tag a
// window of the same size is taken where the tag ends, since encoders put
// the first frame right there.
constexpr size_t first_window = 4096;
// Enough behind the tag to confirm a first frame of any length.
constexpr size_t min_search = 2 * mpeg_max_frame + mpeg_header_size;
// Only when the first window holds no frame does a wider one follow, so that
// junk or stray padding after a tag is skipped without reading on into the
// audio. It bounds the work on a file of garbage.
constexpr size_t max_search = 64 * 1024 + mpeg_max_frame + mpeg_header_size;

struct mp3_file {
  const source_file &source;
  uint64_t size;
  const unsigned char *head; // the file's first bytes, at most first_window
  size_t head_length;
  bool end_known = false;
  uint64_t end = 0; // where the audio ends
};

// Where the audio starts: after an ID3v2 tag at the start of the file (its
// size does not count the header, nor the footer that version 2.4 may add).
uint64_t audio_start(const mp3_file &f) {
  const unsigned char *header = f.head;
  if (f.head_length < tag_header_size || memcmp(header, "ID3", 3) != 0)
    return 0;
  const bool footer = header[3] == 4 && (header[5] & 0x10) != 0;
  return sync_32(header + 6) + tag_header_size + (footer ? tag_header_size : 0);
}

// Where the audio ends: before an ID3v1 tag in the last 128 bytes. Read
// only when needed: a frame count makes it so for most files.
uint64_t audio_end(mp3_file &f) {
  if (f.end_known)
    return f.end;
  f.end_known = true;
  f.end = f.size;
  if (f.size < id3v1_size)
    return f.end;
  const uint64_t at = f.size - id3v1_size;
  unsigned char tail[3];
  if (source_read_at(f.source, at, tail, sizeof tail) != sizeof tail)
    return f.end;
  if (memcmp(tail, "TAG", 3) == 0)
    f.end = at;
  return f.end;
}

void add_summary(json_object *root, const mpeg_audio_summary &s) {
  json_ptr audio(json_object_new_object());
  if (!json_is_created(audio.get()))
    return;
  add_short_double(audio.get(), "duration", s.duration);
  add_field(audio.get(), "bitrate", s.bitrate);
  add_field(audio.get(), "sampleRate", s.sample_rate);
  add_field(audio.get(), "channels", s.channels);
  add_field(audio.get(), "vbr", s.vbr);
  json_object_object_add(root, "audio", audio.release());
}

// The `size` bytes at `at`: in the file's head when they lie there, else read
// into `buffer`; null when the file holds fewer.
const unsigned char *bytes_at(const source_file &source, uint64_t at, size_t size, std::vector<unsigned char> *buffer) {
  if (at <= source.head_length && size <= source.head_length - at)
    return source.head + at;
  buffer->resize(size);
  return source_read_at(source, at, buffer->data(), size) == size ? buffer->data() : nullptr;
}

enum class search { found, none, more };

// Looks for the first frame in the `n` bytes read from `start` and adds the
// member: `more` when there is none in these bytes but audio follows them.
search summarise_window(mp3_file &f, uint64_t start, const unsigned char *bytes, size_t n, json_object *root) {
  // A window that reaches into the last 128 bytes stops where the audio
  // does, so that an ID3v1 tag is not searched as audio.
  bool ends_audio = false;
  if (start + n + id3v1_size > f.size) {
    const uint64_t end = audio_end(f);
    n = end > start ? static_cast<size_t>(std::min<uint64_t>(n, end - start)) : 0;
    ends_audio = start + n == end;
  }
  mpeg_frame frame;
  const size_t offset = mpeg_find_first_frame(bytes, n, ends_audio, &frame);
  if (offset == n)
    return ends_audio ? search::none : search::more;
  const mpeg_vbr_header header = mpeg_read_vbr_header(bytes + offset, n - offset, frame);
  // The audio's byte count is needed only when the header does not give
  // both counts.
  const uint64_t end = header.frames == 0 || header.bytes == 0 ? audio_end(f) : f.size;
  const uint64_t first = start + offset;
  mpeg_audio_summary summary;
  if (!mpeg_audio_summarise(frame, header, end > first ? end - first : 0, &summary))
    return search::none;
  add_summary(root, summary);
  return search::found;
}

} // namespace

void add_mp3_audio(const source_file &source, json_object *root) {
  if (!source.stat_known)
    return;
  const uint64_t size = static_cast<uint64_t>(source.st.st_size);
  std::vector<unsigned char> first;
  const size_t head_length = static_cast<size_t>(std::min<uint64_t>(first_window, size));
  const unsigned char *head = bytes_at(source, 0, head_length, &first);
  if (head == nullptr && head_length > 0)
    return;
  mp3_file f{source, size, head, head_length};
  const uint64_t start = audio_start(f);
  if (start >= f.size) {
    log_error("No MPEG audio after the tag!\n");
    return;
  }
  const uint64_t left = f.size - start;
  // The first window: what the first read holds behind the tag, when that
  // is enough to confirm a frame; else a window read where the tag ends.
  // The wider window follows only when the first holds no frame.
  std::vector<unsigned char> past_head; // a window read past the head
  search result;
  if (start < f.head_length && f.head_length - start >= std::min<uint64_t>(left, min_search)) {
    result = summarise_window(f, start, f.head + start, f.head_length - start, root);
  } else {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, first_window));
    const unsigned char *window = bytes_at(source, start, n, &past_head);
    result = window == nullptr ? search::none : summarise_window(f, start, window, n, root);
  }
  if (result == search::more) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, max_search));
    const unsigned char *window = bytes_at(source, start, n, &past_head);
    result = window == nullptr ? search::none : summarise_window(f, start, window, n, root);
  }
  if (result != search::found)
    log_error("No MPEG audio frame found!\n");
}

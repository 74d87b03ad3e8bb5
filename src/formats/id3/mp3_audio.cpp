#include "formats/id3/mp3_audio.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3.h"
#include "formats/id3/mpeg_frame.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr size_t tag_header_size = 10;
constexpr size_t id3v1_size = 128;
// The first read takes this much from the start of the file: the tag
// header and, behind a small tag, the first frames, so that most files
// need no second read. Behind a larger tag a window of the same size is
// read where the tag ends, since encoders put the first frame right there.
constexpr size_t first_window = 4096;
// Enough behind the tag to confirm a first frame of any length.
constexpr size_t min_search = 2 * mpeg_max_frame + mpeg_header_size;
// Only when the first window holds no frame does a wider one follow, so that
// junk or stray padding after a tag is skipped without reading on into the
// audio. It bounds the work on a file of garbage.
constexpr size_t max_search = 64 * 1024 + mpeg_max_frame + mpeg_header_size;

size_t read_at(int fd, unsigned char *bytes, size_t n, uint64_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = pread(fd, bytes + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += static_cast<size_t>(got);
  }
  return done;
}

struct mp3_file {
  int fd;
  uint64_t size;
  std::vector<unsigned char> head; // the file's first bytes
  bool end_known = false;
  uint64_t end = 0; // where the audio ends
};

// Where the audio starts: after an ID3v2 tag at the start of the file (its
// size does not count the header, nor the footer that version 2.4 may add).
uint64_t audio_start(const mp3_file &f) {
  const unsigned char *header = f.head.data();
  if (f.head.size() < tag_header_size || memcmp(header, "ID3", 3) != 0)
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
  if (at + sizeof tail <= f.head.size())
    memcpy(tail, f.head.data() + at, sizeof tail);
  else if (read_at(f.fd, tail, sizeof tail, at) != sizeof tail)
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

void add_mp3_audio(FILE *file, json_object *root) {
  mp3_file f{fileno(file), 0, {}};
  if (f.fd < 0)
    return;
  f.head.resize(first_window);
  f.head.resize(read_at(f.fd, f.head.data(), f.head.size(), 0));
  // A first read that stops short has met the end of the file; only a
  // longer file costs a call to learn its size.
  struct stat st;
  if (f.head.size() < first_window)
    f.size = f.head.size();
  else if (fstat(f.fd, &st) == 0)
    f.size = static_cast<uint64_t>(st.st_size);
  else
    return;
  const uint64_t start = audio_start(f);
  if (start >= f.size) {
    log_error("No MPEG audio after the tag!\n");
    return;
  }
  const uint64_t left = f.size - start;
  // The first window: what the first read holds behind the tag, when that
  // is enough to confirm a frame; else a window read where the tag ends.
  // The wider window follows only when the first holds no frame.
  search result;
  if (start < f.head.size() && f.head.size() - start >= std::min<uint64_t>(left, min_search)) {
    result = summarise_window(f, start, f.head.data() + start, f.head.size() - start, root);
  } else {
    std::vector<unsigned char> window(static_cast<size_t>(std::min<uint64_t>(left, first_window)));
    const size_t n = read_at(f.fd, window.data(), window.size(), start);
    result = n < window.size() ? search::none : summarise_window(f, start, window.data(), n, root);
  }
  if (result == search::more) {
    std::vector<unsigned char> window(static_cast<size_t>(std::min<uint64_t>(left, max_search)));
    const size_t n = read_at(f.fd, window.data(), window.size(), start);
    result = n < window.size() ? search::none : summarise_window(f, start, window.data(), n, root);
  }
  if (result != search::found)
    log_error("No MPEG audio frame found!\n");
}

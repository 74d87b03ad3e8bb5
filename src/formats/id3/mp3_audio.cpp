#include "formats/id3/mp3_audio.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3.h"
#include "formats/id3/mpeg_frame.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr size_t tag_header_size = 10;
constexpr size_t id3v1_size = 128;
// The first frame is looked for in a small window right after the tag, where
// encoders put it; only when that fails does a wider one follow, so that
// junk or stray padding after a tag is skipped without reading on into the
// audio. The wider window bounds the work on a file of garbage.
constexpr size_t first_window = 4096;
constexpr size_t max_search = 64 * 1024;
constexpr size_t search_windows[] = {first_window, max_search + mpeg_max_frame + mpeg_header_size};

size_t read_at(int fd, unsigned char *bytes, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = pread(fd, bytes + done, n - done, at + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += static_cast<size_t>(got);
  }
  return done;
}

// Where the audio starts: after an ID3v2 tag at the start of the file (its
// size does not count the header, nor the footer that version 2.4 may add).
uint64_t audio_start(int fd) {
  unsigned char header[tag_header_size];
  if (read_at(fd, header, sizeof header, 0) != sizeof header || memcmp(header, "ID3", 3) != 0)
    return 0;
  const bool footer = header[3] == 4 && (header[5] & 0x10) != 0;
  return sync_32(header + 6) + tag_header_size + (footer ? tag_header_size : 0);
}

// Where the audio ends: before an ID3v1 tag in the last 128 bytes.
uint64_t audio_end(int fd, uint64_t size, uint64_t start) {
  unsigned char tail[3];
  if (size >= start + id3v1_size && read_at(fd, tail, sizeof tail, static_cast<off_t>(size - id3v1_size)) == 3 &&
      memcmp(tail, "TAG", 3) == 0)
    return size - id3v1_size;
  return size;
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

} // namespace

void add_mp3_audio(FILE *file, json_object *root) {
  const int fd = fileno(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0)
    return;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t start = audio_start(fd);
  const uint64_t end = audio_end(fd, size, start);
  if (start >= end) {
    log_error("No MPEG audio after the tag!\n");
    return;
  }
  std::vector<unsigned char> window;
  for (size_t want : search_windows) {
    const size_t n = end - start < want ? static_cast<size_t>(end - start) : want;
    window.resize(n);
    if (read_at(fd, window.data(), n, static_cast<off_t>(start)) != n)
      break;
    const bool ends_audio = start + n == end;
    mpeg_frame frame;
    const size_t offset = mpeg_find_first_frame(window.data(), n, ends_audio, &frame);
    if (offset < n) {
      const mpeg_vbr_header header = mpeg_read_vbr_header(window.data() + offset, n - offset, frame);
      mpeg_audio_summary summary;
      if (mpeg_audio_summarise(frame, header, end - start - offset, &summary))
        add_summary(root, summary);
      return;
    }
    if (ends_audio)
      break;
  }
  log_error("No MPEG audio frame found!\n");
}

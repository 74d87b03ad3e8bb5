#include "formats/mp4/mp4_tracks.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/pread_stream.h"
#include "formats/mp4/mp4_boxes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Box headers the walk may read in all. A file with its movie box after tens
// of thousands of fragments still fits; crafted nesting cannot make it loop.
constexpr uint32_t max_track_headers = 100000;

// Payload bytes read of each box decoded: version 1 layouts are the longest.
constexpr size_t media_header_bytes = 32;  // mdhd version 1
constexpr size_t track_header_bytes = 96;  // tkhd version 1
constexpr size_t handler_bytes = 12;       // version, flags, predefined, type
constexpr size_t movie_header_bytes = 24;  // mvhd up to the time scale, version 1
// elst: version, flags, entry count (8), then the first entries (20 bytes
// each in version 1). Real edit lists have one or two.
constexpr size_t max_edits = 8;
constexpr size_t edit_list_bytes = 8 + max_edits * 20;
// stsd: version, flags, entry count (8), then the entry: size, format,
// reserved, data reference (16), a sound description of at most 56 more
// bytes (the QuickTime version 2 layout), and room for the codec's
// configuration box after it.
constexpr size_t sample_description_bytes = 8 + 16 + 56 + 176;

struct box {
  uint64_t payload = 0; // file offset just after the header
  uint64_t end = 0;     // file offset just after the box
  uint32_t code = 0;
};

struct walk {
  FILE *file;
  uint32_t headers_left = max_track_headers;
};

size_t read_at(FILE *file, uint64_t at, unsigned char *bytes, size_t n) {
  if (at > static_cast<uint64_t>(INT64_MAX) || fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0)
    return 0;
  return fread(bytes, 1, n, file);
}

// Reads the header of the box at `at`; it must lie whole within `limit`.
bool read_box(walk &w, uint64_t at, uint64_t limit, box *out) {
  if (w.headers_left == 0)
    return false;
  --w.headers_left;
  unsigned char header[16];
  if (limit - at < 8 || read_at(w.file, at, header, 8) != 8)
    return false;
  uint64_t size = read_32(header);
  uint64_t header_size = 8;
  if (size == 1) {
    if (limit - at < 16 || read_at(w.file, at + 8, header + 8, 8) != 8)
      return false;
    size = static_cast<uint64_t>(read_32(header + 8)) << 32 | read_32(header + 12);
    header_size = 16;
  } else if (size == 0) {
    size = limit - at; // runs to the end of its parent
  }
  if (size < header_size || size > limit - at)
    return false;
  out->payload = at + header_size;
  out->end = at + size;
  out->code = read_32(header + 4);
  return true;
}

// Calls `visit(box)` for each child in [from, to) until it answers false or
// a child cannot be read.
template <typename Visit> void each_child(walk &w, uint64_t from, uint64_t to, Visit visit) {
  box b;
  for (uint64_t at = from; at < to && read_box(w, at, to, &b); at = b.end)
    if (!visit(b))
      return;
}

// The payload of `b`, at most `n` bytes of it.
size_t read_payload(walk &w, const box &b, unsigned char *bytes, size_t n) {
  const uint64_t available = b.end - b.payload;
  return read_at(w.file, b.payload, bytes, available < n ? static_cast<size_t>(available) : n);
}

struct track {
  uint32_t handler = 0;
  bool has_duration = false, has_size = false, has_entry = false;
  double duration = 0;
  uint64_t edited = 0; // the edit list's presented length, movie time units
  int width = 0, height = 0, sample_rate = 0, channels = 0;
};

void read_sample_table(walk &w, const box &stbl, track *t) {
  each_child(w, stbl.payload, stbl.end, [&](const box &b) {
    if (b.code != box_code("stsd"))
      return true;
    unsigned char bytes[sample_description_bytes];
    t->has_entry = mp4_sound_entry(bytes, read_payload(w, b, bytes, sizeof bytes), &t->sample_rate, &t->channels);
    return false;
  });
}

void read_media(walk &w, const box &mdia, track *t) {
  each_child(w, mdia.payload, mdia.end, [&](const box &b) {
    unsigned char bytes[media_header_bytes];
    if (b.code == box_code("mdhd")) {
      t->has_duration = mp4_media_duration(bytes, read_payload(w, b, bytes, sizeof bytes), &t->duration);
    } else if (b.code == box_code("hdlr")) {
      if (read_payload(w, b, bytes, handler_bytes) == handler_bytes)
        t->handler = read_32(bytes + 8);
    } else if (b.code == box_code("minf")) {
      each_child(w, b.payload, b.end, [&](const box &child) {
        if (child.code == box_code("stbl"))
          read_sample_table(w, child, t);
        return child.code != box_code("stbl");
      });
    }
    return true;
  });
}

track read_track(walk &w, const box &trak) {
  track t;
  each_child(w, trak.payload, trak.end, [&](const box &b) {
    if (b.code == box_code("tkhd")) {
      unsigned char bytes[track_header_bytes];
      t.has_size = mp4_track_size(bytes, read_payload(w, b, bytes, sizeof bytes), &t.width, &t.height);
    } else if (b.code == box_code("mdia")) {
      read_media(w, b, &t);
    } else if (b.code == box_code("edts")) {
      each_child(w, b.payload, b.end, [&](const box &child) {
        if (child.code != box_code("elst"))
          return true;
        unsigned char bytes[edit_list_bytes];
        t.edited = mp4_edit_duration(bytes, read_payload(w, child, bytes, sizeof bytes));
        return false;
      });
    }
    return true;
  });
  return t;
}

void add_positive(json_object *obj, const char *key, int value) {
  if (value > 0)
    add_field(obj, key, value);
}

void add_object(json_object *root, const char *key, json_ptr value) {
  if (json_is_created(value.get()) && json_object_object_length(value.get()) > 0)
    json_object_object_add(root, key, value.release());
}

// How long a track plays. An edit list cuts what a decoder primes (an AAC
// encoder's first 1024 samples) from the media's own length, and players go
// by it; without one the media header's duration is the length.
void add_duration(json_object *obj, const track &t, uint32_t movie_scale) {
  if (t.edited != 0 && movie_scale != 0)
    add_short_double(obj, "duration", static_cast<double>(t.edited) / movie_scale);
  else if (t.has_duration)
    add_short_double(obj, "duration", t.duration);
}

json_ptr sound_member(const track &t, uint32_t movie_scale) {
  json_ptr audio(json_object_new_object());
  if (!json_is_created(audio.get()))
    return audio;
  add_duration(audio.get(), t, movie_scale);
  if (t.has_entry) {
    add_positive(audio.get(), "sampleRate", t.sample_rate);
    add_positive(audio.get(), "channels", t.channels);
  }
  return audio;
}

json_ptr video_member(const track &t, uint32_t movie_scale) {
  json_ptr video(json_object_new_object());
  if (!json_is_created(video.get()))
    return video;
  if (t.has_size) {
    add_positive(video.get(), "width", t.width);
    add_positive(video.get(), "height", t.height);
  }
  add_duration(video.get(), t, movie_scale);
  return video;
}

// The length of an MPEG-4 descriptor: 7 bits a byte, high bit set on every
// byte but the last, at most four bytes.
bool descriptor_length(const unsigned char *bytes, size_t n, size_t *at, size_t *length) {
  *length = 0;
  for (int i = 0; i < 4; ++i) {
    if (*at >= n)
      return false;
    const unsigned char b = bytes[(*at)++];
    *length = *length << 7 | (b & 0x7F);
    if ((b & 0x80) == 0)
      return *length <= n - *at;
  }
  return false;
}

// Reads `count` bits at bit position `*bit` of `bytes` (`n` bytes).
bool read_bits(const unsigned char *bytes, size_t n, size_t *bit, int count, uint32_t *out) {
  *out = 0;
  for (int i = 0; i < count; ++i, ++*bit) {
    if (*bit / 8 >= n)
      return false;
    *out = *out << 1 | (bytes[*bit / 8] >> (7 - *bit % 8) & 1);
  }
  return true;
}

// The AudioSpecificConfig of an AAC stream: object type, sampling frequency
// (an index, or 24 bits when the index is 15), channel configuration. With
// explicit SBR (object types 5 and 29) the output rate follows.
void read_audio_specific_config(const unsigned char *asc, size_t n, int *sample_rate, int *channels) {
  static const int rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
  static const int channel_counts[16] = {0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 0, 8, 0};
  size_t bit = 0;
  uint32_t type, index, rate = 0, config;
  auto frequency = [&](uint32_t *out) {
    if (!read_bits(asc, n, &bit, 4, &index))
      return false;
    if (index == 15)
      return read_bits(asc, n, &bit, 24, out);
    *out = index < 13 ? static_cast<uint32_t>(rates[index]) : 0;
    return true;
  };
  if (!read_bits(asc, n, &bit, 5, &type))
    return;
  if (type == 31) {
    uint32_t extended;
    if (!read_bits(asc, n, &bit, 6, &extended))
      return;
    type = 32 + extended;
  }
  if (!frequency(&rate) || !read_bits(asc, n, &bit, 4, &config))
    return;
  if (channel_counts[config] > 0)
    *channels = channel_counts[config];
  uint32_t output = rate;
  if ((type == 5 || type == 29) && !frequency(&output))
    output = rate;
  if (output > 0 && output < 10000000)
    *sample_rate = static_cast<int>(output);
}

// "esds": version and flags, then the ES descriptor (tag 3) holding the
// decoder configuration (tag 4), which holds the decoder's specific
// information (tag 5): for AAC its AudioSpecificConfig.
void read_decoder_config(const unsigned char *esds, size_t n, int *sample_rate, int *channels) {
  size_t at = 4, length;
  if (at >= n || esds[at++] != 3 || !descriptor_length(esds, n, &at, &length) || n - at < 3)
    return;
  const unsigned char flags = esds[at + 2];
  at += 3; // ES id, flags
  if (flags & 0x80)
    at += 2; // depends on ES id
  if ((flags & 0x40) && at < n)
    at += 1 + esds[at]; // URL
  if (flags & 0x20)
    at += 2; // OCR ES id
  if (at >= n || esds[at++] != 4 || !descriptor_length(esds, n, &at, &length) || length < 13)
    return;
  at += 13; // object type, stream type, buffer size, maximum and average bitrate
  if (at >= n || esds[at++] != 5 || !descriptor_length(esds, n, &at, &length))
    return;
  read_audio_specific_config(esds + at, length, sample_rate, channels);
}

// "alac": version and flags, frame length (4), compatible version, bit
// depth, three tuning bytes, channel count (1), maximum run (2), maximum
// frame bytes (4), average bitrate (4), sample rate (4).
void read_alac_config(const unsigned char *alac, size_t n, int *sample_rate, int *channels) {
  if (n < 28)
    return;
  if (alac[13] > 0)
    *channels = alac[13];
  const uint32_t rate = read_32(alac + 24);
  if (rate > 0 && rate < 10000000)
    *sample_rate = static_cast<int>(rate);
}

// "dac3": sample rate code (2 bits), stream id (5), service mode (3), coding
// mode (3), low-frequency effects on (1): channels from the coding mode.
void read_ac3_config(const unsigned char *dac3, size_t n, int *channels) {
  static const int by_mode[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  if (n < 2)
    return;
  const unsigned mode = dac3[1] >> 3 & 7;
  const unsigned lfe = dac3[1] >> 2 & 1;
  *channels = by_mode[mode] + static_cast<int>(lfe);
}

} // namespace

bool mp4_media_duration(const unsigned char *payload, size_t n, double *seconds) {
  // version 0: version/flags, creation, modification, time scale, duration
  // (4 bytes each); version 1 widens the times and the duration to 8.
  if (n < 20)
    return false;
  uint32_t scale;
  uint64_t duration;
  if (payload[0] == 1) {
    if (n < media_header_bytes)
      return false;
    scale = read_32(payload + 20);
    duration = static_cast<uint64_t>(read_32(payload + 24)) << 32 | read_32(payload + 28);
    if (duration == UINT64_MAX) // all ones: unknown
      return false;
  } else {
    scale = read_32(payload + 12);
    duration = read_32(payload + 16);
    if (duration == UINT32_MAX)
      return false;
  }
  if (scale == 0)
    return false;
  *seconds = static_cast<double>(duration) / scale;
  return true;
}

uint64_t mp4_edit_duration(const unsigned char *payload, size_t n) {
  // version 0 entries: segment duration (4), media time (4, -1 for an empty
  // edit, a pause), rate (4); version 1 widens the first two to 8.
  if (n < 8)
    return 0;
  const bool wide = payload[0] == 1;
  const size_t entry_size = wide ? 20 : 12;
  uint64_t total = 0;
  for (size_t i = 0, at = 8; i < read_32(payload + 4) && at + entry_size <= n; ++i, at += entry_size) {
    const uint64_t duration = wide ? static_cast<uint64_t>(read_32(payload + at)) << 32 | read_32(payload + at + 4)
                                   : read_32(payload + at);
    const bool empty = wide ? read_32(payload + at + 8) == UINT32_MAX && read_32(payload + at + 12) == UINT32_MAX
                            : read_32(payload + at + 4) == UINT32_MAX;
    if (!empty && duration <= UINT64_MAX - total)
      total += duration;
  }
  return total;
}

bool mp4_track_size(const unsigned char *payload, size_t n, int *width, int *height) {
  // Width and height close the header as 16.16 fixed-point numbers: at 76
  // in version 0, 12 bytes later in version 1 (wider times and duration).
  const size_t at = payload != nullptr && n > 0 && payload[0] == 1 ? 88 : 76;
  if (n < at + 8)
    return false;
  *width = static_cast<int>(read_32(payload + at) >> 16);
  *height = static_cast<int>(read_32(payload + at + 4) >> 16);
  return true;
}

bool mp4_sound_entry(const unsigned char *payload, size_t n, int *sample_rate, int *channels) {
  // The sound entry after the 8 bytes of stsd and the entry's own 16: its
  // version (2), revision (2), vendor (4), channel count (2), sample size
  // (2), compression id (2), packet size (2), sample rate (16.16, 4).
  constexpr size_t entry = 8, sound = entry + 16;
  if (n < sound + 20 || read_32(payload + 4) == 0)
    return false;
  const uint32_t format = read_32(payload + entry + 4);
  // AMR's entries carry fixed values that say nothing: the codecs are mono,
  // narrowband at 8 kHz, wideband at 16 kHz.
  if (format == box_code("samr") || format == box_code("sawb")) {
    *sample_rate = format == box_code("samr") ? 8000 : 16000;
    *channels = 1;
    return true;
  }
  const uint16_t version = read_16(payload + sound);
  size_t children = sound + 20;
  if (version == 2) {
    // QuickTime version 2: after 20 bytes of fixed values and the size of
    // the structure (4), the rate as a double (8), the channel count (4) and
    // 20 more bytes of sample format.
    if (n < sound + 36)
      return false;
    uint64_t bits = static_cast<uint64_t>(read_32(payload + sound + 24)) << 32 | read_32(payload + sound + 28);
    double rate;
    memcpy(&rate, &bits, sizeof rate);
    *sample_rate = std::isfinite(rate) && rate >= 1 && rate < 1e7 ? static_cast<int>(std::lround(rate)) : 0;
    uint32_t count = read_32(payload + sound + 32);
    *channels = count < 256 ? static_cast<int>(count) : 0;
    children = sound + 56;
  } else {
    *channels = read_16(payload + sound + 8);
    *sample_rate = static_cast<int>(read_32(payload + sound + 16) >> 16);
    if (version == 1)
      children += 16; // four more 32-bit fields of packet sizes
  }
  // MP4 writers leave the entry's channel count at its template value 2
  // (and a rate above 65535 does not fit it): the codec's own
  // configuration box after the fixed fields says what the stream holds.
  const size_t entry_end = std::min(n, entry + static_cast<size_t>(read_32(payload + entry)));
  for (size_t at = children; at + 8 <= entry_end;) {
    const size_t size = read_32(payload + at);
    if (size < 8 || size > entry_end - at)
      break;
    const unsigned char *config = payload + at + 8;
    const size_t length = size - 8;
    switch (read_32(payload + at + 4)) {
    case box_code("esds"):
      read_decoder_config(config, length, sample_rate, channels);
      break;
    case box_code("alac"):
      read_alac_config(config, length, sample_rate, channels);
      break;
    case box_code("dOps"):
      if (length >= 2) // version, output channel count; the rate is always 48 kHz
        *channels = config[1];
      break;
    case box_code("dac3"):
      read_ac3_config(config, length, channels);
      break;
    default:
      break;
    }
    at += size;
  }
  return true;
}

void add_mp4_tracks(const source_file &source, json_object *root) {
  if (!source.stat_known)
    return;
  file_ptr stream(pread_stream_open(source));
  if (!stream)
    return;
  walk w{stream.get()};
  bool have_sound = false, have_video = false;
  uint32_t movie_scale = 0;
  json_ptr audio, video;
  each_child(w, 0, static_cast<uint64_t>(source.st.st_size), [&](const box &moov) {
    if (moov.code != box_code("moov"))
      return true;
    each_child(w, moov.payload, moov.end, [&](const box &b) {
      if (b.code == box_code("mvhd")) {
        unsigned char bytes[movie_header_bytes];
        const size_t n = read_payload(w, b, bytes, sizeof bytes);
        const size_t at = n > 0 && bytes[0] == 1 ? 20 : 12; // after 32- or 64-bit times
        if (n >= at + 4)
          movie_scale = read_32(bytes + at);
      }
      if (b.code != box_code("trak"))
        return true;
      const track t = read_track(w, b);
      if (t.handler == box_code("soun") && !have_sound) {
        have_sound = true;
        audio = sound_member(t, movie_scale);
      } else if (t.handler == box_code("vide") && !have_video) {
        have_video = true;
        video = video_member(t, movie_scale);
      }
      return !(have_sound && have_video);
    });
    return false; // the first movie box is the movie
  });
  add_object(root, "audio", std::move(audio));
  add_object(root, "video", std::move(video));
}

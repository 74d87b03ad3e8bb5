#include "formats/id3/mpeg_frame.h"

#include "base/byte_readers.h"

#include <cmath>
#include <cstring>

namespace {

// kbit/s by bitrate index 1 to 14 (0 is free format, 15 is invalid).
constexpr int bitrates_v1[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // layer III
};
// MPEG 2 and 2.5 share one table for layers II and III.
constexpr int bitrates_v2[2][15] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}, // layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},      // layers II, III
};
// Hz by sample-rate index 0 to 2 (3 is reserved).
constexpr int sample_rates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

// Where the Xing or Info header starts in a layer III frame: after the
// 4-byte header and the side information, whose size depends on the
// version and on mono or not.
size_t xing_offset(const mpeg_frame &frame) {
  if (frame.version == mpeg_version::v1)
    return mpeg_header_size + (frame.channels == 1 ? 17 : 32);
  return mpeg_header_size + (frame.channels == 1 ? 9 : 17);
}
// A VBRI header always sits 32 bytes after the frame header.
constexpr size_t vbri_offset = mpeg_header_size + 32;

bool same_stream(const mpeg_frame &a, const mpeg_frame &b) {
  return a.version == b.version && a.layer == b.layer && a.sample_rate == b.sample_rate;
}

} // namespace

bool mpeg_frame_parse(const unsigned char *bytes, mpeg_frame *out) {
  // 11 sync bits, version (2), layer (2), no-CRC bit; bitrate index (4),
  // sample-rate index (2), padding, private; channel mode (2) and the rest.
  if (bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0)
    return false;
  const int version_bits = bytes[1] >> 3 & 3;
  const int layer_bits = bytes[1] >> 1 & 3;
  const int bitrate_index = bytes[2] >> 4;
  const int rate_index = bytes[2] >> 2 & 3;
  if (version_bits == 1 || layer_bits == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
    return false;
  mpeg_frame f;
  f.version = version_bits == 3 ? mpeg_version::v1 : version_bits == 2 ? mpeg_version::v2 : mpeg_version::v2_5;
  f.layer = 4 - layer_bits;
  const bool v1 = f.version == mpeg_version::v1;
  f.bitrate = v1 ? bitrates_v1[f.layer - 1][bitrate_index] : bitrates_v2[f.layer == 1 ? 0 : 1][bitrate_index];
  f.sample_rate = sample_rates[static_cast<int>(f.version)][rate_index];
  f.channels = (bytes[3] >> 6) == 3 ? 1 : 2;
  f.crc = (bytes[1] & 1) == 0;
  const size_t padding = bytes[2] >> 1 & 1;
  const size_t bits_per_second = static_cast<size_t>(f.bitrate) * 1000;
  const size_t rate = static_cast<size_t>(f.sample_rate);
  if (f.layer == 1) {
    f.length = (12 * bits_per_second / rate + padding) * 4;
    f.samples = 384;
  } else if (f.layer == 2 || v1) {
    f.length = 144 * bits_per_second / rate + padding;
    f.samples = 1152;
  } else {
    f.length = 72 * bits_per_second / rate + padding;
    f.samples = 576;
  }
  *out = f;
  return true;
}

size_t mpeg_find_first_frame(const unsigned char *bytes, size_t n, bool ends_audio, mpeg_frame *out) {
  for (size_t p = 0; p + mpeg_header_size <= n; ++p) {
    if (bytes[p] != 0xFF)
      continue;
    mpeg_frame frame, next;
    if (!mpeg_frame_parse(bytes + p, &frame))
      continue;
    // Lengths are at most mpeg_max_frame, so this cannot wrap.
    const size_t following = p + frame.length;
    const bool confirmed = following + mpeg_header_size <= n
                               ? mpeg_frame_parse(bytes + following, &next) && same_stream(frame, next)
                               : ends_audio && following == n;
    if (confirmed) {
      *out = frame;
      return p;
    }
  }
  return n;
}

mpeg_vbr_header mpeg_read_vbr_header(const unsigned char *bytes, size_t n, const mpeg_frame &frame) {
  mpeg_vbr_header header;
  if (n > frame.length)
    n = frame.length; // the header belongs to this frame
  // Xing/Info: tag (4), flags (4), then the fields the flags announce in
  // this order: frame count (bit 0), byte count (bit 1), ...
  const size_t x = xing_offset(frame);
  if (frame.layer == 3 && x + 8 <= n && (memcmp(bytes + x, "Xing", 4) == 0 || memcmp(bytes + x, "Info", 4) == 0)) {
    header.kind = bytes[x] == 'X' ? mpeg_vbr_header::xing : mpeg_vbr_header::info;
    const uint32_t flags = read_32(bytes + x + 4);
    size_t field = x + 8;
    if ((flags & 1) != 0) {
      if (field + 4 > n)
        return header;
      header.frames = read_32(bytes + field);
      field += 4;
    }
    if ((flags & 2) != 0 && field + 4 <= n)
      header.bytes = read_32(bytes + field);
    return header;
  }
  // VBRI: tag (4), version (2), delay (2), quality (2), bytes (4), frames (4).
  if (vbri_offset + 18 <= n && memcmp(bytes + vbri_offset, "VBRI", 4) == 0) {
    header.kind = mpeg_vbr_header::vbri;
    header.bytes = read_32(bytes + vbri_offset + 10);
    header.frames = read_32(bytes + vbri_offset + 14);
  }
  return header;
}

bool mpeg_audio_summarise(const mpeg_frame &frame, const mpeg_vbr_header &header, uint64_t audio_bytes,
                          mpeg_audio_summary *out) {
  mpeg_audio_summary s;
  s.sample_rate = frame.sample_rate;
  s.channels = frame.channels;
  s.vbr = header.kind == mpeg_vbr_header::xing || header.kind == mpeg_vbr_header::vbri;
  s.bitrate = frame.bitrate;
  if (header.frames != 0)
    s.duration = static_cast<double>(header.frames) * frame.samples / frame.sample_rate;
  else
    s.duration = static_cast<double>(audio_bytes) * 8 / (frame.bitrate * 1000.0);
  if (!(s.duration > 0))
    return false;
  // A variable bitrate is given as the average over the whole stream.
  if (s.vbr && header.frames != 0) {
    const double bytes = header.bytes != 0 ? header.bytes : static_cast<double>(audio_bytes);
    s.bitrate = static_cast<int>(std::lround(bytes * 8 / s.duration / 1000));
  }
  *out = s;
  return true;
}

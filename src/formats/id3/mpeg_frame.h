// MPEG audio frames (MPEG 1, 2 and 2.5, layers I to III) as they follow the
// ID3 tag of an MP3 file: the 4-byte frame header, the search for the first
// frame, and the Xing/Info or VBRI header an encoder leaves in that frame.
// Pure functions over bytes in memory; the file reading is mp3_audio.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>

enum class mpeg_version { v1, v2, v2_5 };

// One decoded frame header.
struct mpeg_frame {
  mpeg_version version = mpeg_version::v1;
  int layer = 0;        // 1 to 3
  int bitrate = 0;      // kbit/s
  int sample_rate = 0;  // Hz
  int channels = 0;     // 1 (mono) or 2
  bool crc = false;     // a 16-bit CRC follows the header
  size_t length = 0;    // the whole frame in bytes, header included
  int samples = 0;      // samples per channel the frame holds
};

constexpr size_t mpeg_header_size = 4;
// The longest frame any header can announce (layer II, 384 kbit/s at
// 32 kHz, padded: 1729 bytes), rounded up.
constexpr size_t mpeg_max_frame = 1732;

// Decodes the 4 header bytes at `bytes`. False for a bad sync word, a
// reserved version, layer, bitrate or sample-rate index, and for free format
// (bitrate index 0): its frame length is not in the header, so the frame
// cannot be checked against the next one.
bool mpeg_frame_parse(const unsigned char *bytes, mpeg_frame *out);

// Offset in `bytes` of the first frame whose successor's header, at the
// offset plus the frame's length, is a frame of the same version, layer and
// sample rate. A frame that ends exactly at `n` is taken without a successor
// when `ends_audio` says no audio follows the buffer. `n` when there is none.
// Checking the successor keeps tag bytes or garbage that happen to hold a
// sync word from being taken for audio.
size_t mpeg_find_first_frame(const unsigned char *bytes, size_t n, bool ends_audio, mpeg_frame *out);

// The frame count and byte count an encoder stores in the first frame.
struct mpeg_vbr_header {
  enum kind_t { none, xing, info, vbri } kind = none;
  uint32_t frames = 0; // frames after this one; 0 when not given
  uint32_t bytes = 0;  // bytes of audio; 0 when not given
};

// Reads the Xing or Info header (layer III, after the side information) or
// the VBRI header (32 bytes after the frame header) of the frame `frame`
// held at `bytes` (`n` bytes available from there).
mpeg_vbr_header mpeg_read_vbr_header(const unsigned char *bytes, size_t n, const mpeg_frame &frame);

// What a record says of the audio.
struct mpeg_audio_summary {
  double duration = 0; // seconds
  int bitrate = 0;     // kbit/s
  int sample_rate = 0;
  int channels = 0;
  bool vbr = false;
};

// The summary of a stream whose first frame is `frame`, whose first frame
// holds `header`, and that has `audio_bytes` bytes from the first frame to the
// end of the audio. A frame count gives the duration; without one the bytes
// over the first frame's bitrate do. False when neither can.
bool mpeg_audio_summarise(const mpeg_frame &frame, const mpeg_vbr_header &header, uint64_t audio_bytes,
                          mpeg_audio_summary *out);

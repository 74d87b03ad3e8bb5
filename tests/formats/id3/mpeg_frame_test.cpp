// MPEG audio frames built from bytes: the header table, the search for the
// first frame, the Xing/Info and VBRI headers. The "audio" member of whole
// files is in the golden records of tests/data/id3 (tool-made and crafted).
#include "formats/id3/mpeg_frame.h"

#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

// A frame header: version bits (3 MPEG 1, 2 MPEG 2, 0 MPEG 2.5, 1 reserved),
// layer bits (3 layer I, 2 layer II, 1 layer III, 0 reserved), the bitrate
// and sample-rate indexes, padding, channel mode (3 mono); no CRC.
std::string header(int version, int layer, int bitrate, int rate, int padding = 0, int mode = 0) {
  return {'\xFF', char(0xE0 | version << 3 | layer << 1 | 1), char(bitrate << 4 | rate << 2 | padding << 1),
          char(mode << 6)};
}
// A whole frame of `length` bytes: the header, then zeros.
std::string frame(const std::string &head, size_t length) { return head + std::string(length - 4, '\0'); }

// MPEG 1 layer III, 128 kbit/s, 44.1 kHz, stereo: 417 bytes a frame.
const std::string cbr_head = header(3, 1, 9, 0);
const std::string cbr_frame = frame(cbr_head, 417);
// MPEG 2 layer III, 64 kbit/s, 22.05 kHz, mono: 208 bytes.
const std::string mono_head = header(2, 1, 8, 0, 0, 3);
const std::string mono_frame = frame(mono_head, 208);

std::string repeated(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

// The first frame of a stereo MPEG 1 layer III stream with a Xing `tag` after the 32 bytes of side information, giving frame and byte
// counts.
std::string xing_frame(const std::string &tag, uint32_t frames, uint32_t bytes) {
  std::string f = cbr_head + std::string(32, '\0') + tag + be32(3) + be32(frames) + be32(bytes);
  return f + std::string(417 - f.size(), '\0');
}

struct audio {
  double duration;
  int bitrate, sample_rate, channels;
  bool vbr;
};

} // namespace

TEST(MpegFrame, HeadersDecodeOrAreRefused) {
  const struct {
    const char *name;
    std::string bytes;
    bool valid;
    int bitrate, sample_rate, channels;
    size_t length;
    int samples;
  } rows[] = {
      {"mpeg 1 layer III", cbr_head, true, 128, 44100, 2, 417, 1152},
      {"padded", header(3, 1, 9, 0, 1), true, 128, 44100, 2, 418, 1152},
      {"mpeg 2 layer III mono", mono_head, true, 64, 22050, 1, 208, 576},
      {"mpeg 2.5 layer III", header(0, 1, 1, 2, 0, 3), true, 8, 8000, 1, 72, 576},
      {"mpeg 1 layer II", header(3, 2, 10, 1), true, 192, 48000, 2, 576, 1152},
      {"mpeg 2 layer II", header(2, 2, 4, 0), true, 32, 22050, 2, 208, 1152},
      {"mpeg 1 layer I", header(3, 3, 12, 0), true, 384, 44100, 2, 416, 384},
      {"mpeg 2 layer I", header(2, 3, 1, 2), true, 32, 16000, 2, 96, 384},
      {"bad sync", "\xFF\xC0\x90\x00"s, false, 0, 0, 0, 0, 0},
      {"no sync", "\x7F\xFB\x90\x00"s, false, 0, 0, 0, 0, 0},
      {"reserved version", header(1, 1, 9, 0), false, 0, 0, 0, 0, 0},
      {"reserved layer", header(3, 0, 9, 0), false, 0, 0, 0, 0, 0},
      {"bad bitrate index", header(3, 1, 15, 0), false, 0, 0, 0, 0, 0},
      {"free format", header(3, 1, 0, 0), false, 0, 0, 0, 0, 0},
      {"reserved sample rate", header(3, 1, 9, 3), false, 0, 0, 0, 0, 0},
  };
  for (const auto &r : rows) {
    mpeg_frame f;
    ASSERT_EQ(mpeg_frame_parse(reinterpret_cast<const unsigned char *>(r.bytes.data()), &f), r.valid) << r.name;
    if (!r.valid)
      continue;
    EXPECT_EQ(f.bitrate, r.bitrate) << r.name;
    EXPECT_EQ(f.sample_rate, r.sample_rate) << r.name;
    EXPECT_EQ(f.channels, r.channels) << r.name;
    EXPECT_EQ(f.length, r.length) << r.name;
    EXPECT_EQ(f.samples, r.samples) << r.name;
    EXPECT_LE(f.length, mpeg_max_frame) << r.name;
  }
}

TEST(MpegFrame, FirstFrameNeedsAMatchingSuccessor) {
  // A sync word with a valid header, 417 bytes before bytes that are no
  // frame: what a tag or garbage may hold.
  const std::string fake = frame(cbr_head, 417) + "junk";
  const struct {
    const char *name;
    std::string bytes;
    bool ends_audio;
    size_t offset; // npos: none
    int sample_rate;
  } rows[] = {
      {"at the start", repeated(cbr_frame, 3), false, 0, 44100},
      {"after garbage", "garbage\xFF\xFF"s + repeated(mono_frame, 2), false, 9, 22050},
      {"fake sync first", fake + repeated(mono_frame, 2), false, fake.size(), 22050},
      {"successor of another rate", frame(header(3, 1, 9, 1), 384) + repeated(mono_frame, 2), false, 384, 22050},
      {"lone frame ending the audio", cbr_frame, true, 0, 44100},
      {"lone frame, more audio unread", cbr_frame, false, std::string::npos, 0},
      {"lone frame cut short", cbr_frame.substr(0, 300), true, std::string::npos, 0},
      {"free format only", repeated(frame(header(3, 1, 0, 0), 417), 3), true, std::string::npos, 0},
      {"empty", "", true, std::string::npos, 0},
  };
  for (const auto &r : rows) {
    mpeg_frame f;
    size_t at = mpeg_find_first_frame(reinterpret_cast<const unsigned char *>(r.bytes.data()), r.bytes.size(),
                                      r.ends_audio, &f);
    EXPECT_EQ(at, r.offset == std::string::npos ? r.bytes.size() : r.offset) << r.name;
    if (r.offset != std::string::npos) {
      EXPECT_EQ(f.sample_rate, r.sample_rate) << r.name;
    }
  }
}

TEST(MpegFrame, VbrHeadersAndSummaries) {
  mpeg_frame cbr;
  ASSERT_TRUE(mpeg_frame_parse(reinterpret_cast<const unsigned char *>(cbr_head.data()), &cbr));
  // 1225 frames of 1152 samples at 44.1 kHz are 32 seconds. Plain Xing,
  // Info and VBRI headers are in the encoder fixtures' golden records.
  const struct {
    const char *name;
    std::string first;
    uint64_t audio_bytes;
    mpeg_vbr_header::kind_t kind;
    audio want;
  } rows[] = {
      {"xing without bytes: the audio's", xing_frame("Xing", 1225, 0), 480000, mpeg_vbr_header::xing,
       {32.0, 120, 44100, 2, true}},
      {"xing of no frames: bytes over the bitrate", xing_frame("Xing", 0, 0), 512000, mpeg_vbr_header::xing,
       {32.0, 128, 44100, 2, true}},
      {"no header", cbr_frame, 160000, mpeg_vbr_header::none, {10.0, 128, 44100, 2, false}},
      {"header cut short", xing_frame("Xing", 1225, 0).substr(0, 46), 160000, mpeg_vbr_header::xing,
       {10.0, 128, 44100, 2, true}},
  };
  for (const auto &r : rows) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(r.first.data());
    mpeg_vbr_header h = mpeg_read_vbr_header(bytes, r.first.size(), cbr);
    EXPECT_EQ(h.kind, r.kind) << r.name;
    mpeg_audio_summary s;
    ASSERT_TRUE(mpeg_audio_summarise(cbr, h, r.audio_bytes, &s)) << r.name;
    EXPECT_DOUBLE_EQ(s.duration, r.want.duration) << r.name;
    EXPECT_EQ(s.bitrate, r.want.bitrate) << r.name;
    EXPECT_EQ(s.sample_rate, r.want.sample_rate) << r.name;
    EXPECT_EQ(s.channels, r.want.channels) << r.name;
    EXPECT_EQ(s.vbr, r.want.vbr) << r.name;
  }
  // A Xing tag in a layer II frame is only audio data.
  mpeg_frame layer2 = cbr;
  layer2.layer = 2;
  const std::string first = xing_frame("Xing", 1225, 0);
  EXPECT_EQ(mpeg_read_vbr_header(reinterpret_cast<const unsigned char *>(first.data()), first.size(), layer2).kind,
            mpeg_vbr_header::none);
}

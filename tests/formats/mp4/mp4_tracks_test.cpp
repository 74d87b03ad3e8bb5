// The "audio" and "video" members of MPEG-4 files, from byte-built boxes:
// the sample entries of the codecs no fixture has, the header layouts and
// the edit list. Whole files' tracks are in the golden records of
// tests/data/mp4 (tool-made and crafted).
#include "formats/mp4/mp4_tracks.h"

#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using namespace std::string_literals;

namespace {

const std::string full = std::string(4, '\0'); // version 0, no flags

// An stsd payload of one sound entry: the entry's fixed fields (version 0,
// `channels`, 16-bit samples, `rate` as 16.16), then `children`.
std::string stsd(const std::string &format, uint16_t channels, uint32_t rate, const std::string &children = "") {
  std::string sound = be16(0) + be16(0) + be32(0) + be16(channels) + be16(16) + be32(0) + be32(rate << 16);
  return full + be32(1) + box(format, std::string(6, '\0') + be16(1) + sound + children);
}
// The QuickTime version 2 sound entry: the rate as a double.
std::string stsd_v2(double rate, uint32_t channels) {
  uint64_t bits;
  memcpy(&bits, &rate, sizeof bits);
  std::string sound = be16(2) + be16(0) + be32(0) + be16(3) + be16(16) + be16(0xFFFE) + be16(0) + be32(65536) +
                      be32(72) + be64(bits) + be32(channels) + std::string(20, '\0');
  return full + be32(1) + box("lpcm", std::string(6, '\0') + be16(1) + sound);
}
// "esds" around an AudioSpecificConfig.
std::string esds(const std::string &asc) {
  std::string specific = "\x05"s + char(asc.size()) + asc;
  std::string config = "\x04"s + char(13 + specific.size()) + "\x40\x15"s + std::string(11, '\0') + specific;
  std::string es = "\x03"s + char(3 + config.size()) + "\x00\x01\x00"s + config;
  return box("esds", full + es);
}

struct entry_row {
  const char *name;
  std::string payload;
  bool ok;
  int sample_rate, channels;
};

} // namespace

TEST(Mp4Tracks, SoundEntriesGiveRateAndChannels) {
  const entry_row rows[] = {
      {"mp4a, AAC LC stereo", stsd("mp4a", 2, 44100, esds("\x12\x10"s)), true, 44100, 2},
      {"mp4a, template channels, mono config", stsd("mp4a", 2, 44100, esds("\x12\x08"s)), true, 44100, 1},
      {"mp4a, explicit rate", stsd("mp4a", 2, 37800, esds("\x17\x80\x49\xd4\x08"s)), true, 37800, 1},
      {"mp4a, HE-AAC gives its output rate", stsd("mp4a", 2, 24000, esds("\x2b\x11\x88"s)), true, 48000, 2},
      {"mp4a, escaped object type", stsd("mp4a", 2, 44100, esds("\xf8\x28\x40"s)), true, 44100, 2},
      {"mp4a, config cut short", stsd("mp4a", 2, 32000, esds("\x12"s)), true, 32000, 2},
      {"mp4a, descriptor longer than its box", stsd("mp4a", 2, 32000, box("esds", full + "\x03\x7f\x00"s)), true,
       32000, 2},
      {"mp4a, child box overruns the entry", stsd("mp4a", 2, 32000, be32(100) + "esds"), true, 32000, 2},
      {"samr is narrowband mono", stsd("samr", 2, 8000), true, 8000, 1},
      {"sawb is wideband mono", stsd("sawb", 2, 8000), true, 16000, 1},
      {"alac: rate beyond 16 bits", stsd("alac", 2, 0, box("alac", full + std::string(9, '\0') + "\x01"s +
                                                                         std::string(10, '\0') + be32(96000))),
       true, 96000, 1},
      {"Opus", stsd("Opus", 2, 48000, box("dOps", "\x00\x01"s)), true, 48000, 1},
      {"ac-3, 3/2 with LFE", stsd("ac-3", 2, 48000, box("dac3", "\x10\x3c\x00"s)), true, 48000, 6},
      {"QuickTime version 2", stsd_v2(96000.0, 6), true, 96000, 6},
      {"QuickTime version 2, NaN rate", stsd_v2(std::nan(""), 2), true, 0, 2},
      {"no entries", full + be32(0) + std::string(40, '\0'), false, 0, 0},
      {"cut short", stsd("mp4a", 2, 44100).substr(0, 40), false, 0, 0},
  };
  for (const entry_row &r : rows) {
    int rate = -1, channels = -1;
    ASSERT_EQ(mp4_sound_entry(reinterpret_cast<const unsigned char *>(r.payload.data()), r.payload.size(), &rate,
                              &channels),
              r.ok)
        << r.name;
    if (r.ok) {
      EXPECT_EQ(rate, r.sample_rate) << r.name;
      EXPECT_EQ(channels, r.channels) << r.name;
    }
  }
}

TEST(Mp4Tracks, HeaderLayouts) {
  auto bytes = [](const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); };
  const struct {
    const char *name;
    std::string payload;
    bool ok;
    double seconds;
  } media[] = {
      {"version 0", full + be32(0) + be32(0) + be32(600) + be32(900), true, 1.5},
      {"version 1", "\x01\0\0\0"s + be64(0) + be64(0) + be32(48000) + be64(0x100000000ULL * 3), true,
       0x100000000ULL * 3 / 48000.0},
      {"unknown duration", full + be32(0) + be32(0) + be32(600) + be32(0xFFFFFFFF), false, 0},
      {"no time scale", full + be32(0) + be32(0) + be32(0) + be32(900), false, 0},
      {"version 1 cut short", "\x01\0\0\0"s + be64(0) + be64(0) + be32(48000), false, 0},
  };
  for (const auto &r : media) {
    double seconds = 0;
    ASSERT_EQ(mp4_media_duration(bytes(r.payload), r.payload.size(), &seconds), r.ok) << r.name;
    EXPECT_DOUBLE_EQ(seconds, r.seconds) << r.name;
  }

  const std::string matrix(36, '\0');
  const std::string tkhd_v0 = full + std::string(20, '\0') + std::string(16, '\0') + matrix + be32(640 << 16 | 0x8000) +
                              be32(480 << 16);
  const std::string tkhd_v1 = "\x01\0\0\0"s + std::string(32, '\0') + std::string(16, '\0') + matrix +
                              be32(1920 << 16) + be32(1080 << 16);
  int width = 0, height = 0;
  EXPECT_TRUE(mp4_track_size(bytes(tkhd_v0), tkhd_v0.size(), &width, &height));
  EXPECT_EQ(width * 10000 + height, 640 * 10000 + 480);
  EXPECT_TRUE(mp4_track_size(bytes(tkhd_v1), tkhd_v1.size(), &width, &height));
  EXPECT_EQ(width * 10000 + height, 1920 * 10000 + 1080);
  EXPECT_FALSE(mp4_track_size(bytes(tkhd_v1), tkhd_v0.size(), &width, &height));

  const struct {
    const char *name;
    std::string payload;
    uint64_t ticks;
  } edits[] = {
      {"one edit", full + be32(1) + be32(500) + be32(1024) + be32(0x10000), 500},
      {"a pause, then media", full + be32(2) + be32(40) + be32(0xFFFFFFFF) + be32(0x10000) + be32(500) + be32(0) +
                                  be32(0x10000),
       500},
      {"version 1", "\x01\0\0\0"s + be32(1) + be64(0x100000000ULL) + be64(0) + be32(0x10000), 0x100000000ULL},
      {"count beyond the bytes", full + be32(1000) + be32(500) + be32(0) + be32(0x10000), 500},
      {"no entries", full + be32(0), 0},
  };
  for (const auto &r : edits)
    EXPECT_EQ(mp4_edit_duration(bytes(r.payload), r.payload.size()), r.ticks) << r.name;
}

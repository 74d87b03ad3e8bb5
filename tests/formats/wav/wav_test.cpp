// WAV records: byte-built RIFF chunks for the walk's bounds (odd sizes,
// sizes past the file, the unknown size 0xFFFFFFFF), INFO texts and an ID3
// chunk, and tool-made fixtures (tests/data/wav/make_fixtures.sh) checked
// whole.
#include "formats/wav/wav.h"
#include "support/byte_builders.h"
#include "support/record_checks.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {


// A chunk, padded to an even length; `size` overrides its size field.
std::string chunk(const std::string &id, const std::string &payload, int64_t size = -1) {
  std::string out = id + le32(static_cast<uint32_t>(size >= 0 ? size : static_cast<int64_t>(payload.size()))) + payload;
  return payload.size() % 2 ? out + '\0' : out;
}
std::string riff(const std::string &chunks) { return "RIFF" + le32(4 + chunks.size()) + "WAVE" + chunks; }
// PCM at 8 kHz: 8000 bytes a second per channel and byte of sample.
std::string fmt(uint16_t channels, uint16_t bits) {
  uint32_t byte_rate = 8000u * channels * bits / 8;
  return chunk("fmt ", le16(1) + le16(channels) + le32(8000) + le32(byte_rate) + le16(channels * bits / 8) + le16(bits));
}
const std::string fmt_json = R"("formatTag":1,"channels":1,"sampleRate":8000,"byteRate":8000,"bitsPerSample":8)";

void parse(FILE *file, json_object *root) { parse_wav(file, root, nullptr); }

void expect_cases(const std::vector<member_case> &cases) { expect_member_cases("wav", parse, cases); }

} // namespace

TEST(WavChunks, DurationComesFromTheAudioTheFileHolds) {
  const std::string audio(2000, 'a');
  expect_cases({
      {"data", riff(fmt(1, 8) + chunk("data", audio)), "{" + fmt_json + R"(,"duration":0.25})", {}},
      {"odd chunk padded", riff(chunk("junk", "abc") + fmt(1, 8) + chunk("data", audio)),
       "{" + fmt_json + R"(,"duration":0.25})", {}},
      {"unknown data size", riff(fmt(1, 8)) + "data" + le32(0xFFFFFFFF) + audio,
       "{" + fmt_json + R"(,"duration":0.25})", {}},
      {"data past the file", riff(fmt(1, 8)) + "data" + le32(8000) + audio, "{" + fmt_json + R"(,"duration":0.25})",
       {}},
      // A chunk that claims more than the file ends the walk.
      {"huge chunk", riff(fmt(1, 8)) + "junk" + le32(0xFFFFFFFF) + chunk("data", audio), "{" + fmt_json + "}", {}},
      {"short fmt", riff(chunk("fmt ", le16(1) + le16(1)) + chunk("data", audio)), "{}",
       {"Wav fmt chunk too short!\n"}},
      {"not wave", "RIFF" + le32(4) + "AVI ", "{}", {"Not a RIFF/WAVE file!\n"}},
  });
}

TEST(WavChunks, InfoTextsAndId3ChunksStayInsideTheirChunk) {
  const std::string info = "INFO" + chunk("INAM", std::string("Song\0", 5)) + chunk("IART", "Me") + chunk("ISFT", "x");
  // An ID3v2.3 tag of one title frame.
  const std::string frame = "TIT2" + be32(4) + std::string(2, '\0') + std::string("\0Hey", 4);
  const std::string tag = std::string("ID3\x03\0\0\0\0\0", 9) + char(frame.size()) + frame;
  expect_cases({
      {"info", riff(chunk("LIST", info)), R"({"info":{"INAM":"Song","IART":"Me"}})", {}},
      {"info text past its list", riff(chunk("LIST", "INFO" + chunk("INAM", "Song") + "IART" + le32(99) + "Me")),
       R"({"info":{"INAM":"Song"}})", {"Wav info text runs past its list!\n"}},
      {"info list of unknown size", riff("LIST" + le32(0xFFFFFFFF) + info), R"({"info":{"INAM":"Song","IART":"Me"}})",
       {}},
      {"id3", riff(chunk("id3 ", tag)), R"({"id3":{"TIT2":["Hey"]}})", {}},
      {"no tag in id3 chunk", riff(chunk("ID3 ", "nothing")), "{}", {"Wav id3 chunk holds no tag!\n"}},
  });
}

TEST(WavFixtures, RecordsAndPicturesMatchWhatTheToolsWrote) {
  expect_golden_records("wav", {"info.wav", "id3.wav"});
  // The cover of the ID3 chunk is located in the file itself.
  json_ptr record = record_of(data_path("wav/id3.wav"));
  json_object *picture = json_object_array_get_idx(
      json_object_object_get(json_object_object_get(json_object_object_get(record.get(), "wav"), "id3"), "APIC"), 0);
  const int64_t offset = json_object_get_int64(json_object_object_get(picture, "thumbOffset"));
  const int64_t size = json_object_get_int64(json_object_object_get(picture, "thumbSize"));
  EXPECT_EQ(read_file(data_path("wav/id3.wav")).substr(static_cast<size_t>(offset), static_cast<size_t>(size)),
            read_file(data_path("flac/cover.jpg")));
}

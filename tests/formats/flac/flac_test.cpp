// FLAC records: byte-built metadata blocks for every bound of the block
// walk, the comment list and the picture block, and tool-made fixtures
// (tests/data/flac/make_fixtures.sh) checked whole.
#include "formats/flac/flac.h"
#include "support/byte_builders.h"
#include "support/record_checks.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using fields = std::vector<std::string>;

// A metadata block: last flag and type, 24-bit length (the payload's unless
// given), payload.
std::string block(unsigned type, const std::string &payload, bool last = false, int64_t length = -1) {
  return char((last ? 0x80 : 0) | type) + be24(static_cast<uint32_t>(length >= 0 ? length : payload.size())) + payload;
}

// A stream info block's payload: block and frame size bounds (not read),
// then rate, channels, bits and total samples packed into 64 bits, then
// the MD5 signature.
std::string stream_info(uint64_t rate, uint64_t channels, uint64_t bits, uint64_t samples) {
  uint64_t packed = rate << 44 | (channels - 1) << 41 | (bits - 1) << 36 | samples;
  return std::string(10, '\0') + be32(static_cast<uint32_t>(packed >> 32)) + be32(static_cast<uint32_t>(packed)) +
         std::string(16, '\0');
}

void parse(FILE *file, json_object *root) { parse_flac(file, root, nullptr); }

void expect_cases(const std::vector<member_case> &cases) { expect_member_cases("flac", parse, cases); }

const std::string info_44k = stream_info(44100, 2, 16, 441000);
const std::string info_json =
    R"("sampleRate":44100,"channels":2,"bitsPerSample":16,"totalSamples":441000,"duration":10.0)";

} // namespace

TEST(FlacBlocks, WalkEndsAtTheLastBlockOrAtAnyBoundWithWhatItFound) {
  std::string padding;
  for (int i = 0; i < 1025; ++i)
    padding += block(1, "");
  expect_cases({
      {"stream info", "fLaC" + block(0, info_44k, true), "{" + info_json + "}", {}},
      {"unknown length", "fLaC" + block(0, stream_info(8000, 1, 8, 0), true),
       R"({"sampleRate":8000,"channels":1,"bitsPerSample":8,"totalSamples":0})", {}},
      {"short stream info", "fLaC" + block(0, info_44k.substr(0, 20), true), "{}",
       {"Flac stream info too short!\n"}},
      {"no marker", "fLaX" + block(0, info_44k, true), "{}", {"No fLaC marker found!\n"}},
      {"header cut short", "fLaC\x80\x00", "{}", {"Flac block header cut short!\n"}},
      {"no last block", "fLaC" + block(0, info_44k), "{" + info_json + "}", {"Flac block header cut short!\n"}},
      {"block past the file", "fLaC" + block(4, "abc", true, 4096), "{}", {"Flac block runs past the file!\n"}},
      {"too many blocks", "fLaC" + padding, "{}", {"Too many flac blocks, giving up!\n"}},
      // An ID3 tag in front (its size counts neither header nor footer).
      {"id3 in front", std::string("ID3\x04\0\0\0\0\0\x05", 10) + "12345" + "fLaC" + block(0, info_44k, true),
       "{" + info_json + "}", {}},
      {"id3 with footer in front",
       std::string("ID3\x04\0\x10\0\0\0\x01", 10) + "x" + std::string(10, 'f') + "fLaC" + block(0, info_44k, true),
       "{" + info_json + "}", {}},
  });
}

TEST(FlacBlocks, CommentsAreUpperCasedRepeatedKeysBecomeArraysAndLengthsStayInTheBlock) {
  const fields tags = {"title=A", "Artist=B", "ARTIST=C", "artist=D", "no equals sign", "bad\x01key=x", "=empty",
                       "COMMENT=caf\xe9"};
  expect_cases({
      {"fields", "fLaC" + block(4, comment_list("vendor", tags), true),
       R"({"vendor":"vendor","comments":{"TITLE":"A","ARTIST":["B","C","D"],"COMMENT":"caf\\u00e9"}})", {}},
      {"field past the block", "fLaC" + block(4, comment_list("v", fields{"A=1"}, 2) + le32(1000) + "B=2", true),
       R"({"vendor":"v","comments":{"A":"1"}})", {"Vorbis comment runs past its block!\n"}},
      {"count beyond bound", "fLaC" + block(4, comment_list("v", fields{"A=1"}, 0xFFFFFFFF), true),
       R"({"vendor":"v","comments":{"A":"1"}})",
       {"Too many vorbis comments, reading 10000!\n", "Vorbis comment runs past its block!\n"}},
      {"vendor past the block", "fLaC" + block(4, le32(50) + "v", true), "{}",
       {"Vorbis comment header cut short!\n"}},
  });
}

TEST(FlacBlocks, PictureDataIsLocatedOnlyWhenItLiesInTheBlockAndTheFile) {
  // "fLaC" and the block header: the picture block starts at offset 8, its
  // data 42 bytes further (fixed fields, "image/png", "d").
  const std::string picture = picture_block(3, "image/png", "d", "abc");
  const std::string fields_json = R"({"type":3,"mime":"image\/png","description":"d","width":1,"height":2)";
  expect_cases({
      {"located", "fLaC" + block(6, picture, true),
       R"({"pictures":[)" + fields_json + R"(,"thumbOffset":50,"thumbSize":3}]})", {}},
      {"data past the block", "fLaC" + block(6, picture_block(3, "image/png", "d", "abc", 100), true),
       R"({"pictures":[)" + fields_json + "}]}", {}},
      {"data past the file", "fLaC" + block(6, picture_block(3, "image/png", "d", "abc", 100), true, 42 + 100),
       R"({"pictures":[)" + fields_json + "}]}", {"Flac block runs past the file!\n"}},
      {"mime past the block", "fLaC" + block(6, be32(3) + be32(1000) + "image/png" + std::string(30, '\0'), true),
       "{}", {"Picture block cut short!\n"}},
  });
}

TEST(FlacFixtures, RecordsMatchWhatTheToolsWrote) {
  expect_golden_records("flac", {"tagged.flac", "id3_in_front.flac"});
}

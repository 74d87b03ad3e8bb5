// Ogg records: byte-built pages for packet assembly across pages, streams
// interleaved, the last granule position, cut files and pictures in
// comments, and tool-made fixtures (tests/data/ogg/make_fixtures.sh)
// checked whole.
#include "formats/flac/flac.h"
#include "formats/ogg/ogg.h"
#include "support/byte_builders.h"
#include "support/record_checks.h"
#include "support/test_support.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using fields = std::vector<std::string>;

constexpr uint64_t no_granule = ~0ULL;

std::string page(uint32_t serial, uint64_t granule, const std::string &lacing, const std::string &body) {
  return "OggS" + std::string(2, '\0') + le64(granule) + le32(serial) + le32(0) + le32(0) + char(lacing.size()) +
         lacing + body;
}

// The pages of one packet: 255-byte segments and a shorter last one, at most
// `per_page` segments a page.
std::string packet_pages(uint32_t serial, const std::string &packet, size_t per_page = 255, uint64_t granule = 0) {
  std::string lacing(packet.size() / 255, '\xff');
  lacing += char(packet.size() % 255);
  std::string out;
  size_t body = 0;
  for (size_t first = 0; first < lacing.size(); first += per_page) {
    std::string part = lacing.substr(first, per_page);
    size_t length = 0;
    for (unsigned char l : part)
      length += l;
    out += page(serial, granule, part, packet.substr(body, length));
    body += length;
  }
  return out;
}

std::string vorbis_head(uint8_t channels, uint32_t rate) {
  return "\x01vorbis" + le32(0) + char(channels) + le32(rate) + le32(0) + le32(64000) + le32(0) + "\xb8\x01";
}
std::string opus_head(uint8_t channels, uint16_t pre_skip, uint32_t rate, int16_t gain) {
  return "OpusHead\x01" + std::string(1, char(channels)) + le16(pre_skip) + le32(rate) +
         le16(static_cast<uint16_t>(gain)) + std::string(1, '\0');
}
std::string vorbis_tags(const fields &tags) { return "\x03vorbis" + comment_list("v", tags) + "\x01"; }

void parse(FILE *file, json_object *root) { parse_ogg(file, root, nullptr); }

void expect_cases(const std::vector<member_case> &cases) { expect_member_cases("vorbis", parse, cases); }

const std::string vorbis_json = R"({"codec":"vorbis","sampleRate":8000,"channels":1,"nominalBitrate":64000,)";

std::string base64(const std::string &bytes) {
  g_autofree char *text = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
  return text;
}

} // namespace

TEST(OggPages, PacketsAreAssembledAcrossPagesOfTheFirstStream) {
  const std::string head = packet_pages(7, vorbis_head(1, 8000));
  const std::string long_title = std::string(2000, 'x');
  const std::string tags = vorbis_tags({"TITLE=" + long_title});
  const std::string audio_end = page(7, 16000, "\x01", "a");
  expect_cases({
      // One segment a page: the comment packet spans nine pages.
      {"comments over many pages", head + packet_pages(7, tags, 1) + audio_end,
       vorbis_json + R"("duration":2.0,"vendor":"v","comments":{"TITLE":")" + long_title + "\"}}", {}},
      // Pages of another stream are stepped over, also in the tail.
      {"interleaved stream",
       head + packet_pages(9, "other") + packet_pages(7, tags, 2) + audio_end + page(9, 99999, "\x01", "b"),
       vorbis_json + R"("duration":2.0,"vendor":"v","comments":{"TITLE":")" + long_title + "\"}}", {}},
      // The last page ends no packet: the one before gives the length.
      {"last granule unset", head + packet_pages(7, vorbis_tags({})) + audio_end + page(7, no_granule, "\xff", std::string(255, 'c')),
       vorbis_json + R"("duration":2.0,"vendor":"v","comments":{}})", {}},
      {"opus", packet_pages(3, opus_head(2, 312, 44100, -512)) + packet_pages(3, "OpusTags" + comment_list("v", fields{})) +
                   page(3, 48000 + 312, "\x01", "a"),
       R"({"codec":"opus","sampleRate":48000,"channels":2,"inputSampleRate":44100,"preSkip":312,)"
       R"("outputGain":-2.0,"duration":1.0,"vendor":"v","comments":{}})",
       {}},
  });
}

TEST(OggPages, CutOrForeignStreamsGiveWhatCouldBeRead) {
  const std::string head = packet_pages(7, vorbis_head(1, 8000));
  const std::string tags_pages = packet_pages(7, vorbis_tags({"A=1"}));
  expect_cases({
      {"not ogg", "RIFF0000WAVE", "", {"Ogg page missing or cut short at 0x0!\n"}},
      {"empty pages before the head", page(7, 0, "", "") + page(7, 0, "", "") + head + packet_pages(7, vorbis_tags({})),
       vorbis_json + R"("vendor":"v","comments":{}})", {}},
      {"other codec", packet_pages(7, "\x80theora" + std::string(40, '\0')), "",
       {"Ogg stream is neither vorbis nor opus!\n"}},
      {"no comment page", head, vorbis_json.substr(0, vorbis_json.size() - 1) + "}",
       {"Ogg page missing or cut short at 0x3a!\n"}},
      {"comment page cut", head + tags_pages.substr(0, tags_pages.size() - 5),
       vorbis_json.substr(0, vorbis_json.size() - 1) + "}", {"Ogg packet cut short!\n"}},
      {"second packet not comments", head + packet_pages(7, "\x05vorbis"),
       vorbis_json.substr(0, vorbis_json.size() - 1) + "}", {"Ogg comment header missing!\n"}},
  });
}

TEST(OggPages, PicturesInCommentsGetTheirSizeOnlyWhenTheTextHoldsTheData) {
  const std::string head = packet_pages(7, vorbis_head(1, 8000));
  const fields tags = {"METADATA_BLOCK_PICTURE=" + base64(picture_block(3, "image/png", "d", "abcd")),
                       "metadata_block_picture=" + base64(picture_block(4, "image/gif", "", "abcd", 5000)),
                       "METADATA_BLOCK_PICTURE=" + base64("short"), "COVERART=" + base64("12345")};
  expect_cases({
      {"pictures", head + packet_pages(7, vorbis_tags(tags)),
       vorbis_json + R"("vendor":"v","comments":{},"pictures":[)"
                     R"({"type":3,"mime":"image\/png","description":"d","width":1,"height":2,"size":4},)"
                     R"({"type":4,"mime":"image\/gif","description":"","width":1,"height":2},{"size":5}]})",
       {"Picture block cut short!\n"}},
  });
}

TEST(OggFixtures, RecordsMatchWhatTheToolsWrote) { expect_golden_records("ogg", {"tagged.ogg", "tagged.opus"}); }

#include "exif_bytes.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

std::string plain(json_object *value) { return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN); }

std::string fixture(const std::string &name) { return read_file(data_path("image/" + name)); }
json_ptr expected(const std::string &name) { return parse_json(fixture(name)); }

int64_t int_of(json_object *exif, const char *key) { return json_object_get_int64(json_object_object_get(exif, key)); }

// Absolute offset of the TIFF header of the first EXIF payload at or after `from`.
size_t tiff_header_of(const std::string &bytes, size_t from = 0) {
  return bytes.find(std::string("Exif\0\0", 6), from) + 6;
}

// The thumbnail keys must locate exactly the thumbnail the fixtures embed.
void expect_thumbnail_located(const std::string &file, json_object *exif, size_t tiff_header, const char *name) {
  int64_t offset = int_of(exif, "thumbOffset");
  int64_t length = int_of(exif, "thumbLength");
  ASSERT_GT(offset, 0) << name;
  ASSERT_LE(static_cast<size_t>(offset + length), file.size()) << name;
  EXPECT_EQ(file.substr(static_cast<size_t>(offset), static_cast<size_t>(length)), fixture("thumb.jpg")) << name;
  EXPECT_EQ(int_of(exif, "JPEGInterchangeFormat"), offset - static_cast<int64_t>(tiff_header)) << name;
  EXPECT_EQ(int_of(exif, "JPEGInterchangeFormatLength"), length) << name;
}

json_object *exif_of(json_object *record) { return json_object_object_get(record, "exif"); }

} // namespace

TEST(ExifRecords, FixturesGiveTheirWholeRecords) {
  const struct {
    const char *fixture;
    const char *expected;
    bool thumbnail;
    std::vector<std::string> logs;
  } cases[] = {
      {"thumb_motorola.jpg", "with_thumb.expected.json", true, {}},
      {"thumb_intel.jpg", "with_thumb.expected.json", true, {}},
      {"no_thumb.jpg", "no_thumb.expected.json", false, {}},
      {"make_only.jpg", "make_only.expected.json", false, {}},
      {"no_exif.jpg", "no_exif.expected.json", false, {"Failed to parse image exif!\n"}},
      {"plain.tif", "plain_tif.expected.json", false, {}},
  };
  for (const auto &c : cases) {
    log_capture logs;
    json_ptr record = record_of(data_path(std::string("image/") + c.fixture));
    ASSERT_TRUE(record) << c.fixture;
    EXPECT_EQ(plain(record.get()), plain(expected(c.expected).get())) << c.fixture;
    EXPECT_EQ(logs.lines, c.logs) << c.fixture;
    if (c.thumbnail) {
      std::string bytes = fixture(c.fixture);
      expect_thumbnail_located(bytes, exif_of(record.get()), tiff_header_of(bytes), c.fixture);
    }
  }
}

TEST(ExifRecords, XmpBlockBeforeExifChangesOnlyTheOffset) {
  std::string original = fixture("thumb_intel.jpg");
  std::string xmp = segment(0xFFE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                                        "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
  std::string spliced = original.substr(0, 2) + xmp + original.substr(2);
  temp_dir dir;
  json_ptr record = record_of(dir.write("xmp.jpg", spliced));
  ASSERT_TRUE(record);
  json_ptr want = expected("with_thumb.expected.json");
  json_object *want_exif = exif_of(want.get());
  add_field(want_exif, "thumbOffset", static_cast<int>(int_of(want_exif, "thumbOffset") + xmp.size()));
  EXPECT_EQ(plain(record.get()), plain(want.get()));
  expect_thumbnail_located(spliced, exif_of(record.get()), tiff_header_of(spliced), "xmp");
}

TEST(ExifRecords, LaterExifBlockWithThumbnailWins) {
  std::string intel = fixture("thumb_intel.jpg");
  std::string motorola = fixture("thumb_motorola.jpg");
  // Each APP1 segment starts four bytes (marker, length) before its payload.
  auto app1_at = [](const std::string &bytes) { return tiff_header_of(bytes) - 6 - 4; };
  auto app1_size = [](const std::string &bytes, size_t at) {
    return 2 + (static_cast<unsigned char>(bytes[at + 2]) << 8 | static_cast<unsigned char>(bytes[at + 3]));
  };
  size_t intel_end = app1_at(intel) + app1_size(intel, app1_at(intel));
  std::string second = motorola.substr(app1_at(motorola), app1_size(motorola, app1_at(motorola)));
  std::string spliced = intel.substr(0, intel_end) + second + intel.substr(intel_end);
  temp_dir dir;
  json_ptr record = record_of(dir.write("two.jpg", spliced));
  ASSERT_TRUE(record);
  size_t later_header = tiff_header_of(spliced, intel_end);
  expect_thumbnail_located(spliced, exif_of(record.get()), later_header, "two blocks");
  EXPECT_EQ(int_of(exif_of(record.get()), "thumbOffset"), static_cast<int64_t>(later_header) + 448);
}

namespace {

struct file_case {
  const char *name;
  std::string bytes;
  const char *exif; // the whole "exif" object expected
  std::vector<std::string> logs;
};

const std::string no_exif = "Failed to parse image exif!\n";
const std::string too_small = "Marker size was too small!\n";
const std::string failed = "Failed to find thumb after promised!\n";

// An Intel block: IFD 0 at `ifd0` with Make, IFD 1 at `ifd1` with a 10-byte
// thumbnail at TIFF offset 100.
std::string thumb_block(uint32_t ifd0, uint32_t ifd1) {
  std::string block = exif_payload(true, ifd0, 120,
                                   {{ifd0, {{0x010F, fmt_ascii, 5, 80}}, ifd1},
                                    {ifd1, {{0x0201, fmt_long, 1, 100}, {0x0202, fmt_long, 1, 10}}, 0}});
  block.replace(6 + 80, 5, std::string("Kivo\0", 5));
  return block;
}

// One IFD 0 entry of each numeric and skipped format, data placed at 150 on.
std::string formats_block() {
  std::string block = exif_payload(true, 8, 200,
                                   {{8,
                                     {{0x0100, fmt_long, 1, 3000000000u},
                                      {0x0101, fmt_sshort, 1, 0xFFFE},
                                      {0x0102, fmt_sbyte, 1, 0xFF},
                                      {0x010E, fmt_float, 1, 0x3F800000},
                                      {0x010F, fmt_ascii, 5, 150},
                                      {0x0112, fmt_slong, 1, 0xFFFFFFFB},
                                      {0x011A, fmt_rational, 3, 160},
                                      {0x011B, fmt_srational, 1, 184},
                                      {0x0131, fmt_undefined, 4, 0x01020304},
                                      {0x013B, fmt_double, 1, 192}},
                                     0}});
  block.replace(6 + 150, 5, std::string("Kivo\0", 5));
  for (uint32_t i = 0; i < 3; ++i) { // 72/1, 2/1, 3/1: only the first counts
    put_32(block, true, 6 + 160 + 8 * i, i == 0 ? 72 : i + 1);
    put_32(block, true, 6 + 164 + 8 * i, 1);
  }
  put_32(block, true, 6 + 184, 0xFFFFFFFF);
  put_32(block, true, 6 + 188, 3);
  return block;
}

std::vector<file_case> file_cases() {
  return {
      {"segment length of 2", std::string("\xFF\xD8\xFF\xE0\x00\x02junk", 10), "{ }", {too_small, no_exif}},
      {"APP1 length of 2", std::string("\xFF\xD8\xFF\xE1\x00\x02junk", 10), "{ }", {too_small, no_exif}},
      {"no marker at the start, walked by lengths",
       std::string("AB\x00\x04xy", 6) + segment(0xFFE1, thumb_block(8, 31)),
       R"({ "JPEGInterchangeFormatLength": 10, "thumbLength": 10, "JPEGInterchangeFormat": 100, "thumbOffset": 116 })",
       {no_exif}},
      {"IFD chain pointing backwards", jpeg_of({thumb_block(60, 8)}),
       R"({ "JPEGInterchangeFormatLength": 10, "thumbLength": 10, "Make": "Kivo" })",
       {"Invalid next IFD Offset specified.\n", failed}},
      {"every entry format", jpeg_of({formats_block()}),
       R"({ "ImageWidth": 3000000000, "ImageLength": -2, "BitsPerSample": -1, "Make": "Kivo", "Orientation": -5,)"
       R"( "XResolution": { "numerator": 72, "denominator": 1 }, "YResolution": { "numerator": -1, "denominator": 3 } })",
       {"Float found for exif data! ImageDescription\n", "Double found for exif data! Artist\n"}},
  };
}

} // namespace

TEST(ExifRecords, ByteBuiltFilesGiveTheirExifObjects) {
  temp_dir dir;
  for (const file_case &c : file_cases()) {
    std::string path = dir.write("case.jpg", c.bytes);
    log_capture logs;
    json_ptr record = record_of(path);
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(plain(exif_of(record.get())), plain(parse_json(c.exif).get())) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

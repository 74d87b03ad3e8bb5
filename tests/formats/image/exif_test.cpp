// JPEG and TIFF records: tool-made fixtures checked whole, byte-built EXIF
// blocks for the malformed cases no tool writes, and the thumbnail search.
#include "formats/image/exif_internal.h"
#include "formats/image/image.h"
#include "support/byte_builders.h"
#include "support/test_support.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string fixture(const std::string &name) { return read_file(data_path("image/" + name)); }
json_object *exif_of(json_object *record) { return json_object_object_get(record, "exif"); }
int64_t int_of(json_object *exif, const char *key) { return json_object_get_int64(json_object_object_get(exif, key)); }

// Absolute offset of the TIFF header of the first EXIF payload at or after `from`.
size_t tiff_header_of(const std::string &bytes, size_t from = 0) {
  return bytes.find(std::string("Exif\0\0", 6), from) + 6;
}

// The thumbnail keys must locate exactly the thumbnail the fixtures embed.
void expect_thumbnail_located(const std::string &file, json_object *exif, size_t tiff_header, const char *name) {
  int64_t offset = int_of(exif, "thumbOffset"), length = int_of(exif, "thumbLength");
  ASSERT_GT(offset, 0) << name;
  EXPECT_EQ(file.substr(static_cast<size_t>(offset), static_cast<size_t>(length)), fixture("thumb.jpg")) << name;
  EXPECT_EQ(int_of(exif, "JPEGInterchangeFormat"), offset - static_cast<int64_t>(tiff_header)) << name;
  EXPECT_EQ(int_of(exif, "JPEGInterchangeFormatLength"), length) << name;
}

struct ifd_entry {
  uint16_t tag, format;
  uint32_t count, value; // the value is stored as a 32-bit field
};
struct ifd_spec {
  uint32_t offset; // from the TIFF header
  std::vector<ifd_entry> entries;
  uint32_t next;
};
constexpr uint16_t fmt_byte = 1, fmt_ascii = 2, fmt_long = 4, fmt_rational = 5, fmt_sbyte = 6, fmt_undefined = 7, fmt_sshort = 8,
                   fmt_slong = 9, fmt_srational = 10, fmt_float = 11, fmt_double = 12;

// Writes the low `width` bytes of `v` at `pos` in the block's byte order.
void put(std::string &bytes, bool intel, size_t pos, uint32_t v, int width = 4) {
  for (int i = 0; i < width; ++i)
    bytes[pos + (intel ? i : width - 1 - i)] = static_cast<char>(v >> (8 * i));
}

// An APP1 payload: "Exif\0\0", a TIFF header naming IFD 0 at `ifd0`, `tiff_size`
// bytes of TIFF data (zeros where nothing is placed) holding the IFDs.
std::string exif_payload(bool intel, uint32_t ifd0, size_t tiff_size, const std::vector<ifd_spec> &ifds) {
  std::string block = std::string("Exif\0\0", 6) + (intel ? "II" : "MM") + std::string(tiff_size - 2, '\0');
  put(block, intel, 8, 42, 2);
  put(block, intel, 10, ifd0);
  for (const ifd_spec &ifd : ifds) {
    size_t p = 6 + ifd.offset;
    put(block, intel, p, static_cast<uint32_t>(ifd.entries.size()), 2);
    for (const ifd_entry &e : ifd.entries) {
      put(block, intel, p + 2, e.tag, 2);
      put(block, intel, p + 4, e.format, 2);
      put(block, intel, p + 6, e.count);
      put(block, intel, p + 10, e.value);
      p += 12;
    }
    put(block, intel, p + 2, ifd.next);
  }
  return block;
}

// A segment: marker, big-endian length counting itself, payload.
std::string segment(uint16_t marker, const std::string &payload) {
  size_t length = payload.size() + 2;
  return std::string{char(marker >> 8), char(marker), char(length >> 8), char(length)} + payload;
}

std::string jpeg_of(const std::string &app1_payload) {
  return "\xFF\xD8" + segment(0xFFE1, app1_payload) + "\xFF\xD9";
}

const std::string no_exif = "Failed to parse image exif!\n", too_small = "Marker size was too small!\n";
const std::string failed = "Failed to find thumb after promised!\n", invalid = "Invalid next IFD Offset specified.\n";

} // namespace

TEST(ExifRecords, FixturesGiveTheirWholeRecords) {
  const struct {
    const char *fixture, *expected;
    bool thumbnail;
    std::vector<std::string> logs;
  } cases[] = {
      {"thumb_motorola.jpg", "with_thumb.expected.json", true, {}},
      {"thumb_intel.jpg", "with_thumb.expected.json", true, {}},
      {"no_thumb.jpg", "no_thumb.expected.json", false, {}},
      {"make_only.jpg", "make_only.expected.json", false, {}},
      {"no_exif.jpg", "no_exif.expected.json", false, {no_exif}},
      {"plain.tif", "plain_tif.expected.json", false, {}},
      {"gps_north_east.jpg", "gps_north_east.expected.json", false, {}},
      {"gps_south_west.jpg", "gps_south_west.expected.json", false, {}},
      {"size.png", "size_png.expected.json", false, {}},
      {"size.gif", "size_gif.expected.json", false, {}},
      {"size.bmp", "size_bmp.expected.json", false, {}},
      {"size_os2.bmp", "size_os2_bmp.expected.json", false, {}},
  };
  for (const auto &c : cases) {
    log_capture logs;
    json_ptr record = record_of(data_path(std::string("image/") + c.fixture));
    ASSERT_TRUE(record) << c.fixture;
    EXPECT_EQ(json_text(record.get()), canonical_json(fixture(c.expected))) << c.fixture;
    EXPECT_EQ(logs.lines, c.logs) << c.fixture;
    if (c.thumbnail) {
      std::string bytes = fixture(c.fixture);
      expect_thumbnail_located(bytes, exif_of(record.get()), tiff_header_of(bytes), c.fixture);
    }
  }
}

// Both passes read the file that was opened: a path that names another file
// by the time the entries are loaded changes nothing, and one that names a
// pipe cannot stall the parse.
TEST(ExifRecords, EntriesComeFromTheOpenFileWhateverThePathNamesNow) {
  temp_dir dir;
  std::string fifo = dir.path + "/swapped.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string other = data_path("image/no_exif.jpg");
  json_ptr want = parse_json(fixture("with_thumb.expected.json"));
  for (const std::string &path : {std::string("/nonexistent.jpg"), other, fifo}) {
    log_capture logs;
    std::string exif = parsed_member(fixture("thumb_intel.jpg"), "exif", [&](FILE *f, json_object *root) {
      parse_exif(f, root, path.c_str());
    });
    EXPECT_EQ(exif, json_text(exif_of(want.get()))) << path;
    EXPECT_EQ(logs.lines, std::vector<std::string>{}) << path;
  }
}

TEST(ExifRecords, XmpBlockBeforeExifChangesOnlyTheOffset) {
  std::string original = fixture("thumb_intel.jpg");
  std::string xmp =
      segment(0xFFE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
  std::string spliced = original.substr(0, 2) + xmp + original.substr(2);
  temp_dir dir;
  json_ptr record = record_of(dir.write("xmp.jpg", spliced));
  ASSERT_TRUE(record);
  json_ptr want = parse_json(fixture("with_thumb.expected.json"));
  json_object *want_exif = exif_of(want.get());
  add_field(want_exif, "thumbOffset", static_cast<int>(int_of(want_exif, "thumbOffset") + xmp.size()));
  json_object *thumbnail = json_object_array_get_idx(json_object_object_get(want.get(), "pictures"), 0);
  add_field(thumbnail, "offset", static_cast<int>(int_of(thumbnail, "offset") + xmp.size()));
  EXPECT_EQ(json_text(record.get()), json_text(want.get()));
  expect_thumbnail_located(spliced, exif_of(record.get()), tiff_header_of(spliced), "xmp");
}

TEST(ExifRecords, LaterExifBlockWithThumbnailWins) {
  std::string intel = fixture("thumb_intel.jpg"), motorola = fixture("thumb_motorola.jpg");
  // Each APP1 segment starts four bytes (marker, length) before its payload.
  auto app1 = [](const std::string &bytes) {
    size_t at = tiff_header_of(bytes) - 6 - 4;
    return bytes.substr(at, 2 + (uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3])));
  };
  size_t intel_end = intel.find(app1(intel)) + app1(intel).size();
  std::string spliced = intel.substr(0, intel_end) + app1(motorola) + intel.substr(intel_end);
  temp_dir dir;
  json_ptr record = record_of(dir.write("two.jpg", spliced));
  ASSERT_TRUE(record);
  size_t later_header = tiff_header_of(spliced, intel_end);
  expect_thumbnail_located(spliced, exif_of(record.get()), later_header, "two blocks");
  EXPECT_EQ(int_of(exif_of(record.get()), "thumbOffset"), static_cast<int64_t>(later_header) + 448);
}

TEST(ExifRecords, ByteBuiltFilesGiveTheirExifObjects) {
  // IFD 0 at `ifd0` with Make, IFD 1 at `ifd1` with a 10-byte thumbnail at
  // TIFF offset 100.
  auto thumb_block = [](uint32_t ifd0, uint32_t ifd1) {
    std::string block = exif_payload(true, ifd0, 120,
                                     {{ifd0, {{0x010F, fmt_ascii, 5, 80}}, ifd1},
                                      {ifd1, {{0x0201, fmt_long, 1, 100}, {0x0202, fmt_long, 1, 10}}, 0}});
    return block.replace(6 + 80, 5, std::string("Kivo\0", 5));
  };
  // One IFD 0 entry of each numeric and skipped format, data placed at 150 on.
  std::string formats = exif_payload(true, 8, 200,
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
  formats.replace(6 + 150, 5, std::string("Kivo\0", 5));
  for (uint32_t i = 0; i < 3; ++i) { // 72/1, 2/1, 3/1: only the first counts
    put(formats, true, 6 + 160 + 8 * i, i == 0 ? 72 : i + 1);
    put(formats, true, 6 + 164 + 8 * i, 1);
  }
  put(formats, true, 6 + 184, 0xFFFFFFFF);
  put(formats, true, 6 + 188, 3);
  // A copyright of a photographer's and an editor's part, placed at 30.
  auto copyright_block = [](const std::string &parts) {
    std::string block = exif_payload(
        true, 8, 60, {{8, {{0x8298, fmt_ascii, static_cast<uint32_t>(parts.size()), 30}}, 0}});
    return block.replace(6 + 30, parts.size(), parts);
  };
  // A GPS IFD whose one-byte altitude reference libexif names in words.
  auto gps_block = [](uint32_t ref) {
    return exif_payload(true, 8, 60, {{8, {{0x8825, fmt_long, 1, 26}}, 0}, {26, {{0x0005, fmt_byte, 1, ref}}, 0}});
  };

  const struct {
    const char *name;
    std::string bytes;
    const char *exif; // the whole "exif" object expected
    std::vector<std::string> logs;
  } cases[] = {
      {"segment length of 2", std::string("\xFF\xD8\xFF\xE0\x00\x02junk", 10), "{}", {too_small, no_exif}},
      {"APP1 length of 2", std::string("\xFF\xD8\xFF\xE1\x00\x02junk", 10), "{}", {too_small, no_exif}},
      {"no marker at the start, walked by lengths",
       std::string("AB\x00\x04xy", 6) + segment(0xFFE1, thumb_block(8, 31)),
       R"({"JPEGInterchangeFormatLength":10,"thumbLength":10,"JPEGInterchangeFormat":100,"thumbOffset":116})",
       {no_exif}},
      {"IFD chain pointing backwards", jpeg_of(thumb_block(60, 8)),
       R"({"JPEGInterchangeFormatLength":10,"thumbLength":10,"Make":"Kivo"})", {invalid, failed}},
      {"every entry format", jpeg_of(formats),
       R"({"ImageWidth":3000000000,"ImageLength":-2,"BitsPerSample":-1,"Make":"Kivo","Orientation":-5,)"
       R"("XResolution":{"numerator":72,"denominator":1},"YResolution":{"numerator":-1,"denominator":3}})",
       {"Float found for exif data! ImageDescription\n", "Double found for exif data! Artist\n"}},
      {"copyright of the photographer", jpeg_of(copyright_block(std::string("Kivo Ltd\0", 9))),
       R"({"Copyright":"Kivo Ltd"})", {}},
      {"copyright of photographer and editor", jpeg_of(copyright_block(std::string("Kivo\0Ed\0", 8))),
       R"({"Copyright":"Kivo\nEd"})", {}},
      {"GPS altitude below sea level", jpeg_of(gps_block(1)), R"({"GPSAltitudeRef":"Sea level reference"})", {}},
      {"GPS altitude above sea level", jpeg_of(gps_block(0)), R"({"GPSAltitudeRef":"Sea level"})", {}},
  };
  temp_dir dir;
  for (const auto &c : cases) {
    std::string path = dir.write("case.jpg", c.bytes);
    log_capture logs;
    json_ptr record = record_of(path);
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(json_text(exif_of(record.get())), c.exif) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

TEST(ExifThumbnailSearch, FollowsTheChainWithinTheBlock) {
  const ifd_entry make{0x010F, fmt_ascii, 4, 0}, length{0x0202, fmt_long, 1, 10};
  auto thumb_at = [](uint32_t offset) { return ifd_entry{0x0201, fmt_long, 1, offset}; };
  // IFD 0 at 8 holds `ifd0` and points to IFD 1 right behind it.
  auto chain = [](bool intel, std::vector<ifd_entry> ifd0, uint32_t next0, std::vector<ifd_entry> ifd1,
                  uint32_t next1) {
    uint32_t ifd1_at = 26 + 12 * static_cast<uint32_t>(ifd0.size() - 1);
    return exif_payload(intel, 8, 100, {{8, ifd0, next0}, {ifd1_at, ifd1, next1}});
  };
  // IFD 0 announces 50 entries in a block that holds 7.
  std::string past = exif_payload(true, 8, 100, {{8, {make}, 0}});
  put(past, true, 6 + 8, 50, 2);
  // One entry fits, but the block ends two bytes into the next-IFD field.
  std::string cut = exif_payload(true, 8, 24, {});
  put(cut, true, 6 + 8, 1, 2);
  put(cut, true, 6 + 10, 0x010F, 2);

  const struct {
    const char *name;
    std::string block;
    uint32_t thumb_size;
    uint32_t offset; // 0: none found
    std::vector<std::string> logs;
  } cases[] = {
      {"thumb in IFD 1, Motorola", chain(false, {make}, 26, {thumb_at(60), length}, 0), 10, 60, {}},
      {"thumb in IFD 1, Intel", chain(true, {make}, 26, {thumb_at(60), length}, 0), 10, 60, {}},
      {"IFD 0 points to itself", exif_payload(false, 8, 100, {{8, {make}, 8}}), 10, 0, {invalid, failed}},
      {"IFD 1 points back to IFD 0", chain(true, {make}, 26, {make}, 8), 10, 0, {invalid, failed}},
      {"zero thumb entry, real one in IFD 1", chain(false, {thumb_at(0)}, 26, {thumb_at(60)}, 0), 10, 60, {}},
      {"zero thumb entry, chain ends", exif_payload(true, 8, 100, {{8, {thumb_at(0)}, 0}}), 10, 0, {invalid, failed}},
      {"IFD 0 beyond the block", exif_payload(true, 500, 100, {}), 10, 0, {failed}},
      {"IFD 0 offset near 2^32", exif_payload(true, 0xFFFFFFF8u, 100, {}), 10, 0, {failed}},
      {"thumbnail would end past the block", exif_payload(false, 8, 100, {{8, {thumb_at(91)}, 0}}), 10, 0, {failed}},
      {"thumb size near 2^32", exif_payload(false, 8, 100, {{8, {thumb_at(60)}, 0}}), 0xFFFFFFFFu, 0, {failed}},
      {"block shorter than a TIFF header", std::string("Exif\0\0II*\0", 10), 10, 0, {failed}},
      {"entries run past the block", past, 10, 0, {failed}},
      {"next-IFD field cut by the block's end", cut, 10, 0, {failed}},
  };
  for (const auto &c : cases) {
    // An exactly sized heap copy, so any read past the end trips the sanitizer.
    std::vector<unsigned char> block(c.block.begin(), c.block.end());
    log_capture logs;
    uint32_t offset = 0;
    bool found = exif_find_thumbnail(block.data(), block.size(),
                                     c.block[6] == 'I' ? EXIF_BYTE_ORDER_INTEL : EXIF_BYTE_ORDER_MOTOROLA,
                                     c.thumb_size, &offset);
    EXPECT_EQ(found ? offset : 0, c.offset) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

// Sizes from byte-built headers for what the fixtures' golden records do not
// show: the layouts no tool wrote here, the frame header markers a JPEG walk
// must pass over, and headers cut short (no size).
TEST(ImageSize, HeadersGiveTheirSizes) {
  const std::string png = "\x89PNG\r\n\x1a\n" + be32(13) + "IHDR" + be32(70000) + be32(3) + "\x08\x02\0\0\0";
  const std::string sof0 = segment(0xFFC0, std::string("\x08\x01\x2C\x02\x80\x03", 6) + std::string(9, '\0'));
  const std::string bmp_info = "BM" + std::string(12, '\0') + le32(40) + le32(640);
  auto tiff = [&](bool intel, uint16_t width_format) {
    auto u16 = [&](uint16_t v) { return intel ? le16(v) : be16(v); };
    auto u32 = [&](uint32_t v) { return intel ? le32(v) : be32(v); };
    // IFD 0 after 8 bytes of picture data: Compression, ImageWidth, ImageLength.
    return (intel ? "II" : "MM") + u16(42) + u32(16) + std::string(8, 'x') + u16(3) + u16(0x0103) + u16(3) + u32(1) +
           u16(1) + u16(0) + u16(0x0100) + u16(width_format) + u32(1) +
           (width_format == 3 ? u16(1200) + u16(0) : u32(70000)) + u16(0x0101) + u16(3) + u32(1) + u16(900) + u16(0) +
           u32(0);
  };
  const struct {
    const char *name;
    image_kind kind;
    std::string bytes;
    int64_t width, height; // 0: no size
  } rows[] = {
      {"PNG cut in its header", image_kind::png, png.substr(0, 23), 0, 0},
      {"PNG without IHDR first", image_kind::png, png.substr(0, 12) + "IDAT" + png.substr(16), 0, 0},
      {"GIF cut", image_kind::gif, "GIF89a" + le16(300), 0, 0},
      {"BMP stored top row first", image_kind::bmp, bmp_info + le32(uint32_t(-480)), 640, 480},
      {"BMP cut", image_kind::bmp, bmp_info, 0, 0},
      {"JPEG progressive after tables and APP1", image_kind::jpeg,
       "\xFF\xD8" + segment(0xFFE1, "Exif") + segment(0xFFC4, std::string(20, '\x05')) +
           segment(0xFFC8, std::string(5, '\x07')) + segment(0xFFCC, std::string(5, '\x07')) +
           segment(0xFFC2, std::string("\x08\x00\x10\x00\x20\x01", 6) + std::string(3, '\0')),
       32, 16},
      {"JPEG image data before any frame header", image_kind::jpeg, "\xFF\xD8" + segment(0xFFDA, "x") + sof0, 0, 0},
      {"JPEG frame header cut", image_kind::jpeg, "\xFF\xD8" + sof0.substr(0, 8), 0, 0},
      {"JPEG height to come later (0)", image_kind::jpeg,
       "\xFF\xD8" + segment(0xFFC0, std::string("\x08\x00\x00\x02\x80\x01", 6) + std::string(3, '\0')), 0, 0},
      {"TIFF little-endian, SHORT width", image_kind::tiff, tiff(true, 3), 1200, 900},
      {"TIFF big-endian, LONG width", image_kind::tiff, tiff(false, 4), 70000, 900},
      {"TIFF with its IFD cut", image_kind::tiff, tiff(true, 3).substr(0, 40), 0, 0},
  };
  for (const auto &r : rows) {
    std::string got = parsed_member(r.bytes, "image", [&](FILE *f, json_object *root) { add_image_members(r.kind, f, root); });
    std::string want = r.width == 0 ? "" : R"({"width":)" + std::to_string(r.width) + R"(,"height":)" +
                                               std::to_string(r.height) + "}";
    EXPECT_EQ(got, want) << r.name;
  }
}

// Positions from byte-built GPS IFDs, beyond the two fixtures (north east
// above and south west below sea level): a missing altitude reference, and
// anything that cannot be a position gives none.
TEST(ExifLocation, GpsEntriesGiveSignedDegrees) {
  constexpr uint32_t gps_ifd = 26, data = 120;
  // A GPS IFD with the given references; latitude 10/1 30/1 36/10 at
  // `data`, longitude 0/1 90/1 0/1 after it, altitude 1234/10 after that.
  auto gps_block = [&](bool intel, const std::string &lat_ref, const std::string &lon_ref, uint32_t alt_ref,
                       uint32_t lat_count = 3) {
    std::vector<ifd_entry> entries = {
        {0x0001, fmt_ascii, 2, 0}, {0x0002, fmt_rational, lat_count, data},
        {0x0003, fmt_ascii, 2, 0}, {0x0004, fmt_rational, 3, data + 24},
        {0x0006, fmt_rational, 1, data + 48}};
    if (alt_ref != 9)
      entries.insert(entries.begin() + 4, {0x0005, fmt_byte, 1, intel ? alt_ref : alt_ref << 24}); // first byte
    std::string block = exif_payload(intel, 8, 200, {{8, {{0x8825, fmt_long, 1, gps_ifd}}, 0}, {gps_ifd, entries, 0}});
    // ASCII values of two bytes sit in the value field itself.
    block.replace(6 + gps_ifd + 2 + 8, lat_ref.size(), lat_ref);
    block.replace(6 + gps_ifd + 2 + 24 + 8, lon_ref.size(), lon_ref);
    const uint32_t values[] = {10, 1, 30, 1, 36, 10, 0, 1, 90, 1, 0, 1, 1234, 10};
    for (size_t i = 0; i < std::size(values); ++i)
      put(block, intel, 6 + data + 4 * i, values[i]);
    return block;
  };
  const double lat = 10.501, lon = 1.5;
  const struct {
    const char *name;
    std::string block;
    bool found;
    double latitude, longitude, altitude;
    bool has_altitude;
  } rows[] = {
      {"no altitude reference: above", gps_block(true, "N", "W", 9), true, lat, -lon, 123.4, true},
      {"reference letter not of its axis", gps_block(true, "E", "E", 0), false, 0, 0, 0, false},
      {"no reference letter", gps_block(true, "", "E", 0), false, 0, 0, 0, false},
      {"fewer than three components", gps_block(true, "N", "E", 0, 2), false, 0, 0, 0, false},
  };
  for (const auto &r : rows) {
    std::unique_ptr<ExifData, fn_deleter<&exif_data_free>> loaded(exif_load_as_stored(
        reinterpret_cast<const unsigned char *>(r.block.data()), static_cast<unsigned int>(r.block.size())));
    gps_location location{};
    ASSERT_EQ(exif_gps_location(loaded.get(), &location), r.found) << r.name;
    if (!r.found)
      continue;
    EXPECT_NEAR(location.latitude, r.latitude, 1e-12) << r.name;
    EXPECT_NEAR(location.longitude, r.longitude, 1e-12) << r.name;
    EXPECT_EQ(location.has_altitude, r.has_altitude) << r.name;
    EXPECT_NEAR(location.altitude, r.altitude, 1e-12) << r.name;
  }

  // A zero denominator, or a latitude past 90 degrees, gives no position.
  std::string zero = gps_block(true, "N", "E", 0);
  put(zero, true, 6 + data + 4 * 3, 0);
  std::string beyond = gps_block(true, "N", "E", 0);
  put(beyond, true, 6 + data, 91);
  for (const std::string &block : {zero, beyond}) {
    std::unique_ptr<ExifData, fn_deleter<&exif_data_free>> loaded(exif_load_as_stored(
        reinterpret_cast<const unsigned char *>(block.data()), static_cast<unsigned int>(block.size())));
    gps_location location{};
    EXPECT_FALSE(exif_gps_location(loaded.get(), &location));
  }
}

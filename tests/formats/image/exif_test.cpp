// JPEG and TIFF records: tool-made fixtures checked whole with the thumbnails
// they locate, a path that no longer names the open file, and the thumbnail
// search over byte-built EXIF blocks. Malformed EXIF blocks, GPS positions
// and image headers are crafted golden fixtures under tests/data/image.
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

// Absolute offset of the TIFF header of the first EXIF payload.
size_t tiff_header_of(const std::string &bytes) {
  return bytes.find(std::string("Exif\0\0", 6)) + 6;
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
constexpr uint16_t fmt_ascii = 2, fmt_long = 4;

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

const std::string failed = "Failed to find thumb after promised!\n", invalid = "Invalid next IFD Offset specified.\n";

} // namespace

// The records are golden (tests/data/image); the thumbnail keys must
// locate exactly the thumbnail the fixtures embed.
TEST(ExifRecords, FixturesLocateTheirThumbnails) {
  for (const char *name : {"thumb_motorola.jpg", "thumb_intel.jpg"}) {
    json_ptr record = record_of(data_path(std::string("image/") + name));
    ASSERT_TRUE(record) << name;
    std::string bytes = fixture(name);
    expect_thumbnail_located(bytes, exif_of(record.get()), tiff_header_of(bytes), name);
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
  json_ptr want = parse_json(fixture("thumb_intel.jpg.json"));
  for (const std::string &path : {std::string("/nonexistent.jpg"), other, fifo}) {
    log_capture logs;
    std::string exif = parsed_member(fixture("thumb_intel.jpg"), "exif", [&](FILE *f, json_object *root) {
      parse_exif(f, root, path.c_str());
    });
    EXPECT_EQ(exif, json_text(exif_of(want.get()))) << path;
    EXPECT_EQ(logs.lines, std::vector<std::string>{}) << path;
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

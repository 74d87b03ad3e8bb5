// Photos beyond JPEG: tool-made PNG, WebP, HEIC and AVIF files holding the
// EXIF block of a JPEG fixture must give that JPEG's entries and locate its
// thumbnail (their records are golden, as are the crafted chunks, texts and
// item boxes under tests/data/photo); the EXIF item search over byte-built
// HEIF item boxes.
#include "formats/photo/photo.h"
#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using lines = std::vector<std::string>;

// The bytes of a literal, zero bytes included.
template <size_t N> std::string raw(const char (&text)[N]) { return std::string(text, N - 1); }

std::string full_box(const std::string &type, uint8_t version, const std::string &body) {
  return box(type, std::string(1, char(version)) + std::string(3, '\0') + body);
}
// Item information with one entry of the given version, id and type.
std::string iinf(uint16_t id, const std::string &type, uint8_t entry_version = 2) {
  std::string item = entry_version == 2 ? be16(id) : be32(id);
  return full_box("iinf", 0, be16(1) + full_box("infe", entry_version, item + be16(0) + type + std::string(1, '\0')));
}
// Item location, version 0 or 1, 4-byte offsets and lengths, a 4-byte base
// offset; one item with the given extents.
std::string iloc(uint8_t version, uint16_t id, uint32_t base, const std::vector<std::pair<uint32_t, uint32_t>> &extents,
                 uint16_t method = 0, uint16_t count = 1) {
  std::string item = be16(id) + (version == 1 ? be16(method) : "") + be16(0) + be32(base) + be16(extents.size());
  for (const auto &e : extents)
    item += be32(e.first) + be32(e.second);
  return full_box("iloc", version, raw("\x44\x40") + be16(count) + item);
}

json_object *member(json_object *record, const char *key) { return json_object_object_get(record, key); }


// Where the block lies in the file, and where the thumbnail lies in the
// block, depend on the writer; the entries do not.
bool is_location(const char *key) { return strcmp(key, "thumbOffset") == 0 || strcmp(key, "JPEGInterchangeFormat") == 0; }

} // namespace

TEST(PhotoFixtures, EntriesAndThumbnailAreThoseOfTheSameJpeg) {
  json_ptr jpeg = record_of(data_path("image/thumb_intel.jpg"));
  json_object *jpeg_exif = member(jpeg.get(), "exif");
  const std::string jpeg_bytes = read_file(data_path("image/thumb_intel.jpg"));
  const auto thumbnail = [](const std::string &bytes, json_object *exif) {
    return bytes.substr(static_cast<size_t>(json_object_get_int64(member(exif, "thumbOffset"))),
                        static_cast<size_t>(json_object_get_int64(member(exif, "thumbLength"))));
  };
  for (const char *file : {"photo.png", "photo.webp", "photo.heic", "photo.avif"}) {
    const std::string path = data_path(std::string("photo/") + file);
    json_ptr record = record_of(path);
    json_object *exif = member(record.get(), "exif");
    ASSERT_NE(exif, nullptr) << file;
    // The same entries and thumbnail.
    json_ptr entries(json_object_new_object()), expected(json_object_new_object());
    json_object_object_foreach(exif, key, value) if (!is_location(key))
        json_object_object_add(entries.get(), key, json_object_get(value));
    json_object_object_foreach(jpeg_exif, jkey, jvalue) if (!is_location(jkey))
        json_object_object_add(expected.get(), jkey, json_object_get(jvalue));
    EXPECT_EQ(json_text(entries.get()), json_text(expected.get())) << file;
    EXPECT_EQ(thumbnail(read_file(path), exif), thumbnail(jpeg_bytes, jpeg_exif)) << file;
  }
}

TEST(PhotoHeif, ExifItemIsFoundThroughItemInfoAndLocation) {
  const struct {
    const char *name;
    std::string meta; // the children of "meta"
    bool found;
    uint64_t offset, length;
    lines logs;
  } cases[] = {
      {"version 0", iinf(7, "Exif") + iloc(0, 7, 100, {{20, 30}}), true, 120, 30, {}},
      {"32-bit item id", iinf(7, "Exif", 3) + iloc(1, 7, 0, {{20, 30}}), true, 20, 30, {}},
      {"other items first", iinf(7, "Exif") + box("idat", "x") + iloc(0, 7, 0, {{5, 6}}), true, 5, 6, {}},
      {"no exif item", iinf(7, "hvc1") + iloc(0, 7, 0, {{20, 30}}), false, 0, 0, {}},
      {"no location box", iinf(7, "Exif"), false, 0, 0, {"Heif exif item has no location!\n"}},
      {"not located", iinf(7, "Exif") + iloc(0, 8, 0, {{20, 30}}), false, 0, 0, {"Heif exif item has no location!\n"}},
      {"location cut short", iinf(7, "Exif") + iloc(0, 8, 0, {{20, 30}}, 0, 5), false, 0, 0,
       {"Heif exif item has no location!\n"}},
      {"in the meta box's data", iinf(7, "Exif") + iloc(1, 7, 0, {{20, 30}}, 1), false, 0, 0,
       {"Heif exif item not stored as one extent of the file!\n"}},
      {"two extents", iinf(7, "Exif") + iloc(0, 7, 0, {{20, 30}, {60, 10}}), false, 0, 0,
       {"Heif exif item not stored as one extent of the file!\n"}},
      {"unknown version", iinf(7, "Exif") + full_box("iloc", 3, std::string(20, '\0')), false, 0, 0,
       {"Heif iloc version unknown!\n"}},
  };
  for (const auto &c : cases) {
    log_capture logs;
    uint64_t offset = 0, length = 0;
    EXPECT_EQ(heif_exif_location(reinterpret_cast<const unsigned char *>(c.meta.data()), c.meta.size(), &offset,
                                 &length),
              c.found)
        << c.name;
    EXPECT_EQ(offset, c.offset) << c.name;
    EXPECT_EQ(length, c.length) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

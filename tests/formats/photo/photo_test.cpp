// Photos beyond JPEG: tool-made PNG, WebP, HEIC and AVIF files holding the
// EXIF block of a JPEG fixture must give that JPEG's entries and locate its
// thumbnail; byte-built item boxes, chunks and texts for the bounds.
#include "formats/photo/photo.h"
#include "support/byte_builders.h"
#include "support/record_checks.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

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

// The members a parser adds to a fresh record from a stream over `bytes`.
template <typename Parse> std::string parsed(const std::string &bytes, Parse parse) {
  FILE *file = stream_from_bytes(bytes);
  json_ptr root(json_object_new_object());
  parse(file, root.get(), nullptr);
  fclose(file);
  return json_text(root.get());
}

// A little-endian TIFF block with one IFD 0 entry: Make "Kiv".
const std::string tiff = "II*" + std::string(1, '\0') + le32(8) + le16(1) + le16(0x010f) + le16(2) + le32(4) +
                         raw("Kiv\0") + le32(0);

json_object *member(json_object *record, const char *key) { return json_object_object_get(record, key); }


// Where the block lies in the file, and where the thumbnail lies in the
// block, depend on the writer; the entries do not.
bool is_location(const char *key) { return strcmp(key, "thumbOffset") == 0 || strcmp(key, "JPEGInterchangeFormat") == 0; }

} // namespace

TEST(PhotoFixtures, EntriesAndThumbnailAreThoseOfTheSameJpeg) {
  expect_golden_records("photo", {"photo.png", "photo.webp", "photo.heic", "photo.avif"});
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

// The position of the EXIF GPS entries, found by the code a JPEG's goes
// through, in each container's block.
TEST(PhotoChunks, ExifGpsGivesTheLocation) {
  const auto entry = [](uint16_t tag, uint16_t type, uint32_t count, const std::string &value) {
    return le16(tag) + le16(type) + le32(count) + value;
  };
  const auto rationals = [](uint32_t a, uint32_t b, uint32_t c) {
    return le32(a) + le32(1) + le32(b) + le32(1) + le32(c) + le32(1);
  };
  // IFD 0 (at 8) points to the GPS IFD (at 26), whose rationals follow it (at 80).
  const std::string gps = "II*" + std::string(1, '\0') + le32(8) + le16(1) + entry(0x8825, 4, 1, le32(26)) + le32(0) +
                          le16(4) + entry(1, 2, 2, raw("N\0\0\0")) + entry(2, 5, 3, le32(80)) +
                          entry(3, 2, 2, raw("W\0\0\0")) + entry(4, 5, 3, le32(104)) + le32(0) +
                          rationals(10, 30, 0) + rationals(20, 15, 0);
  const std::string png = raw("\x89PNG\r\n\x1a\n") + be32(gps.size()) + "eXIf" + gps + be32(0);
  const std::string webp = "RIFF" + le32(12 + gps.size()) + "WEBP" + "EXIF" + le32(gps.size()) + gps;
  for (const std::string &record : {parsed(png, parse_png), parsed(webp, parse_webp)}) {
    json_ptr root = parse_json(record);
    ASSERT_TRUE(root) << record;
    json_object *location = member(root.get(), "location");
    EXPECT_EQ(location != nullptr ? json_text(location) : record,
              canonical_json(R"({"latitude":10.5,"longitude":-20.25})"));
  }
}

// The size is the primary item's "ispe", found through the associations of
// "ipma" (8- or 15-bit indexes from 1 into "ipco"), not the first "ispe".
TEST(PhotoHeif, SizeIsThePrimaryItemsExtent) {
  const std::string ftyp = box("ftyp", "heic" + be32(0) + "mif1heic");
  const auto ispe = [](uint32_t w, uint32_t h) { return full_box("ispe", 0, be32(w) + be32(h)); };
  const std::string ipco = box("ipco", ispe(512, 512) + box("hvcC", "") + ispe(4032, 3024));
  const auto file = [&](uint16_t primary, const std::string &ipma) {
    return ftyp + full_box("meta", 0, full_box("pitm", 0, be16(primary)) + box("iprp", ipco + ipma));
  };
  const std::string narrow = full_box("ipma", 0, be32(2) + be16(1) + raw("\x02\x81\x82") + be16(2) + raw("\x02\x02\x83"));
  const std::string wide =
      box("ipma", raw("\0\0\0\x01") + be32(1) + be16(2) + raw("\x01") + be16(0x8003));
  EXPECT_EQ(parsed(file(2, narrow), parse_heif), R"({"image":{"width":4032,"height":3024}})");
  EXPECT_EQ(parsed(file(1, narrow), parse_heif), R"({"image":{"width":512,"height":512}})");
  EXPECT_EQ(parsed(file(2, wide), parse_heif), R"({"image":{"width":4032,"height":3024}})");
  EXPECT_EQ(parsed(file(3, narrow), parse_heif), "{}");
  EXPECT_EQ(parsed(file(2, full_box("ipma", 0, be32(1) + be16(2) + raw("\x01\x09"))), parse_heif), "{}");
}

TEST(PhotoHeif, ItemIsReadOnlyWhereTheFileHoldsIt) {
  const std::string ftyp = box("ftyp", "heic" + be32(0) + "mif1heic");
  // The item: the offset of the TIFF header within it (after the identifier).
  const std::string item = be32(6) + "Exif" + std::string(2, '\0') + tiff;
  const auto file = [&](uint32_t offset, uint32_t length) {
    return ftyp + full_box("meta", 0, iinf(1, "Exif") + iloc(0, 1, 0, {{offset, length}}));
  };
  const size_t start = file(0, 0).size();
  log_capture logs;
  EXPECT_EQ(parsed(file(static_cast<uint32_t>(start), static_cast<uint32_t>(item.size())) + item, parse_heif),
            R"({"exif":{"Make":"Kiv"}})");
  EXPECT_EQ(parsed(file(static_cast<uint32_t>(start), 1000) + item, parse_heif), "{}");
  EXPECT_EQ(parsed(file(static_cast<uint32_t>(start), 2) + item, parse_heif), "{}");
  EXPECT_EQ(parsed(ftyp + box("mdat", ""), parse_heif), "{}");
  EXPECT_EQ(logs.lines, (lines{"Heif exif item lies outside the file!\n", "Heif exif item too short!\n",
                               "Heif file has no meta box!\n"}));
}

// A zlib stream of `text`, as PNG's compressed text chunks hold it.
std::string deflated(const std::string &text) {
  uLongf size = compressBound(text.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef *>(&out[0]), &size, reinterpret_cast<const Bytef *>(text.data()), text.size());
  out.resize(size);
  return out;
}

TEST(PhotoChunks, PngTextsAndExifAndWebpExifWithOrWithoutIdentifier) {
  const auto png_chunk = [](const std::string &type, const std::string &data) {
    return be32(data.size()) + type + data + be32(0);
  };
  const std::string png = raw("\x89PNG\r\n\x1a\n");
  const auto webp = [](const std::string &chunks) { return "RIFF" + le32(4 + chunks.size()) + "WEBP" + chunks; };
  const auto webp_chunk = [](const std::string &type, const std::string &data) {
    return type + le32(data.size()) + data + (data.size() % 2 ? std::string(1, '\0') : "");
  };
  const struct {
    const char *name;
    std::string record;
    std::string expected;
  } cases[] = {
      {"png exif and texts",
       parsed(png + png_chunk("tEXt", raw("Title\0Caf\xe9")) + png_chunk("eXIf", tiff) +
                  png_chunk("iTXt", raw("Author\0\0\0en\0Autor\0J\xc3\xb6rg")) +
                  png_chunk("iTXt", raw("Packed\0\x01\0\0\0x")) + png_chunk("zTXt", raw("Z\0\0x")) +
                  png_chunk("IEND", "") + png_chunk("tEXt", raw("After\0end")),
              parse_png),
       R"({"exif":{"Make":"Kiv"},"png":{"texts":{"Title":"Caf\u00e9","Author":"J\u00f6rg"}}})"},
      {"png compressed texts, a bomb cut at 64 KiB",
       parsed(png + png_chunk("zTXt", raw("Zed\0\0") + deflated(raw("Caf\xe9"))) +
                  png_chunk("iTXt", raw("Packed\0\x01\0en\0\0") + deflated("J\xc3\xb6rg")) +
                  png_chunk("zTXt", raw("Bomb\0\0") + deflated(std::string(10 << 20, 'a'))),
              parse_png),
       R"({"png":{"texts":{"Zed":"Caf\u00e9","Packed":"J\u00f6rg","Bomb":")" + std::string(65536, 'a') + "\"}}}"},
      {"png chunk past the file", parsed(png + be32(1000) + "tEXt" + raw("A\0b"), parse_png), "{}"},
      {"webp exif", parsed(webp(webp_chunk("VP8 ", "abc") + webp_chunk("EXIF", tiff)), parse_webp),
       R"({"exif":{"Make":"Kiv"}})"},
      {"webp exif with identifier",
       parsed(webp(webp_chunk("EXIF", "Exif" + std::string(2, '\0') + tiff)), parse_webp), R"({"exif":{"Make":"Kiv"}})"},
      {"webp chunk past the file", parsed(webp("EXIF" + le32(500) + tiff), parse_webp), "{}"},
      {"webp extended canvas", parsed(webp(webp_chunk("VP8X", raw("\x10\0\0\0\x7f\x02\0\xdf\x01\0"))), parse_webp),
       R"({"image":{"width":640,"height":480}})"},
      {"webp lossless", parsed(webp(webp_chunk("VP8L", "\x2f" + le32(99 | 49 << 14))), parse_webp),
       R"({"image":{"width":100,"height":50}})"},
      {"webp lossy key frame, scale bits left out",
       parsed(webp(webp_chunk("VP8 ", raw("\0\0\0\x9d\x01\x2a") + le16(320) + le16(240 | 0x4000))), parse_webp),
       R"({"image":{"width":320,"height":240}})"},
      {"webp canvas cut short", parsed(webp(webp_chunk("VP8X", raw("\x10\0\0\0\x7f"))), parse_webp), "{}"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.record, canonical_json(c.expected)) << c.name;
}

#include "formats/id3/id3.h"

#include "extract/dispatch.h"

#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string synchsafe(size_t n) {
  return {char(n >> 21 & 0x7F), char(n >> 14 & 0x7F), char(n >> 7 & 0x7F), char(n & 0x7F)};
}

// The zero byte a tagger inserts after every 0xFF followed by a zero or a
// byte of 0xE0 and up.
std::string unsynchronised(const std::string &data) {
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    out += data[i];
    if (data[i] == '\xFF' && (i + 1 == data.size() || data[i + 1] == '\0' || uint8_t(data[i + 1]) >= 0xE0))
      out += '\0';
  }
  return out;
}

std::string tag(int version, int flags, const std::string &body) {
  return "ID3"s + char(version) + '\0' + char(flags) + synchsafe(body.size()) + body;
}

// A frame as the given tag version lays it out: 3-letter id and 3-byte size
// in 2.2, plain size in 2.3, synchsafe size in 2.4, then two flag bytes.
std::string frame(int version, const std::string &id, const std::string &data, int format_flags = 0) {
  if (version == 2)
    return id + be24(static_cast<uint32_t>(data.size())) + data;
  return id + (version == 4 ? synchsafe(data.size()) : be32(static_cast<uint32_t>(data.size()))) + '\0' + char(format_flags) + data;
}

// An "APIC" payload whose image starts 13 bytes in: Latin-1, image/png,
// type 3, empty description.
const std::string png_picture = "\0image/png\0\x03\0IMG"s;

// A tag of exactly `length` bytes: one frame (by default a version 2.4
// picture), then padding.
std::string tag_of_length(size_t length, int version = 4, std::string body = frame(4, "APIC", png_picture),
                          int flags = 0) {
  body.resize(length - 10, '\0');
  return tag(version, flags, body);
}

// png_picture compressed with zlib, as a version 2.3 compressed frame holds it
// after the 4-byte size it declares for the decompressed data.
const std::string compressed_png_picture =
    "\x78\x9C\x63\xC8\xCC\x4D\x4C\x4F\xD5\x2F\xC8\x4B\x67\x60\x66\xF0\xF4\x75\x07\x00\x28\x17\x04\x58"s;
const std::string frame_declaring_2gib = frame(3, "APIC", "\x7F\xFF\xFF\xFF" + compressed_png_picture, 0x80);

std::string joined(const std::vector<std::string> &lines) {
  std::string out;
  for (const std::string &line : lines)
    out += line;
  return out;
}

// Equal as JSON values, whatever the order of members.
void expect_same_json(const std::string &actual, const std::string &expected, const std::string &name) {
  json_ptr a = parse_json(actual), e = parse_json(expected);
  ASSERT_TRUE(e) << name << ": bad expectation";
  EXPECT_TRUE(json_object_equal(a.get(), e.get())) << name << "\n got:  " << actual << "\n want: " << expected;
}

std::string png_located(int offset, int size = 3) {
  return R"({"type":3,"description":"","mime":"image/png","thumbOffset":)" + std::to_string(offset) +
         R"(,"thumbSize":)" + std::to_string(size) + "}";
}
std::string located_at(int offset, int size = 3) { return R"({"APIC":[)" + png_located(offset, size) + "]}"; }
const char *const not_held = "Picture frame does not hold its image as stored, no location given!\n";
const char *const png_unlocated = R"({"APIC":[{"type":3,"description":"","mime":"image/png"}]})";

} // namespace

// Real taggers' files, whose records are golden (tests/data/id3): every
// located picture must be exactly the image the tagger embedded.
TEST(Id3Fixtures, LocationsHoldTheEmbeddedImages) {
  const struct {
    const char *name;
    std::vector<std::string> images; // per picture object, "" when unlocated
  } rows[] = {
      {"v24_two_pictures", {"back.png", "cover.jpg"}},
      {"v23_one_picture", {"back.png"}},
      {"eyed3_v24", {"cover.jpg"}},
      {"same_type", {"back.png", "cover.jpg"}},
  };
  for (const auto &r : rows) {
    std::string path = data_path("id3/"s + r.name + ".mp3");
    json_ptr record = record_of(path);
    ASSERT_TRUE(record) << r.name;
    std::string file = read_file(path);
    json_object *pictures = json_object_object_get(json_object_object_get(record.get(), "id3"), "APIC");
    ASSERT_EQ(pictures != nullptr ? json_object_array_length(pictures) : 0, r.images.size()) << r.name;
    for (size_t i = 0; i < r.images.size(); ++i) {
      json_object *picture = json_object_array_get_idx(pictures, i);
      int offset = -1, size = -1;
      bool located = get_int_field(picture, "thumbOffset", &offset) && get_int_field(picture, "thumbSize", &size);
      std::string image = r.images[i].empty() ? "" : read_file(data_path("id3/" + r.images[i]));
      EXPECT_EQ(located ? file.substr(offset, size) : "", image) << r.name << " " << i;
    }
  }
}

// Tags over 2 MiB, which the library reads from the file itself, built here
// rather than committed; the smaller crafted tags are golden fixtures under
// tests/data/id3/crafted.
TEST(Id3Tags, TagsOverTwoMebibytesGiveTheirRecords) {
  const struct {
    const char *name;
    std::string bytes;
    std::string id3;
    const char *log;
  } rows[] = {
      // Over 2 MiB the library reads the file itself; the check of frames
      // declaring huge sizes runs on the tag with its unsynchronisation undone.
      {"unsynchronised tag over 2 MiB is read",
       tag_of_length(2097153, 3, unsynchronised(frame(3, "TIT2", "\0\xFF\xE0"s) + frame(3, "APIC", png_picture)),
                     0x80),
       R"({"TIT2":["\u00ff\u00e0"],"APIC":[{"type":3,"description":"","mime":"image/png"}]})", nullptr},
      {"... and refused when a frame declares 2 GiB", tag_of_length(2097153, 3, frame_declaring_2gib, 0x80), "{}",
       "Tag declares a frame too large to decompress, not parsed!\n"},
      {"frame declaring 2 GiB in a plain tag over 2 MiB", tag_of_length(2097153, 3, frame_declaring_2gib), "{}",
       "Tag declares a frame too large to decompress, not parsed!\n"},
      {"2.2 tag over 2 MiB: pictures made from the file, without location",
       tag_of_length(2097153, 2, frame(2, "TT2", "\0T\0"s) + frame(2, "PIC", "\x01PNG\x04\xFF\xFE" "B\0\0\0PNG"s)),
       R"({"TIT2":["T"],"APIC":[{"type":4,"description":"B","mime":"image/png"}]})", nullptr},
      {"tag of 2,097,152 bytes is read into memory", tag_of_length(2097152), located_at(33), nullptr},
      {"tag of 2,097,153 bytes goes to the library's file reading", tag_of_length(2097153), png_unlocated, nullptr},
  };
  for (const auto &r : rows) {
    log_capture log;
    expect_same_json(parsed_member(r.bytes, "id3", [](FILE *f, json_object *root) { parse_id3(f, root, "x.mp3"); }),
                     r.id3, r.name);
    EXPECT_EQ(joined(log.lines), r.log ? r.log : "") << r.name;
  }
}

// The scan over a tag whose library parse gave the pictures `decoded`, in
// order: object i is {"type": i}.
TEST(Id3Pictures, ScanLocatesOnlyImagesHeldAsDecoded) {
  std::string past_end = tag(4, 0, frame(4, "APIC", png_picture));
  past_end.replace(14, 4, synchsafe(100)); // declared size runs past the tag
  const struct {
    const char *name;
    std::string bytes;
    int flags;
    std::vector<std::string> decoded;
    const char *after;
    const char *log;
  } rows[] = {
      {"frame runs past the tag", past_end, 0, {"IMG"}, R"([{"type":0}])",
       "Picture frame runs past the end of the tag, no location given!\n"},
      {"more picture frames than the library decoded", tag(4, 0, frame(4, "APIC", png_picture) + frame(4, "APIC", png_picture)),
       0, {"IMG"}, R"([{"type":0,"thumbOffset":33,"thumbSize":3}])", "Couldn't match apic child in json!\n"},
      {"decoded image not the frame's last bytes", tag(4, 0, frame(4, "APIC", png_picture + "X")), 0, {"IMG"},
       R"([{"type":0}])", not_held},
      {"decoded image longer than the frame", tag(4, 0, frame(4, "APIC", png_picture)), 0, {std::string(17, 'I')},
       R"([{"type":0}])", not_held},
      {"nothing decoded", tag(4, 0, frame(4, "APIC", png_picture)), 0, {""}, R"([{"type":0}])", not_held},
      {"extended header flag on a tiny tag", "ID3\x04\0\x40\0\0\0\x04\0\0\0\0"s, 0x40, {}, "[]",
       "Buffer too small for ext header\n"},
      {"huge frame size ends the walk", tag(3, 0, "TIT2\xFF\xFF\xFF\xFF\0\0"s + frame(3, "APIC", png_picture)), 0,
       {"IMG"}, R"([{"type":0}])", nullptr},
  };
  for (const auto &r : rows) {
    log_capture log;
    json_ptr id3 = parse_json(R"({"APIC":[]})");
    json_object *objects = json_object_object_get(id3.get(), "APIC");
    std::vector<id3_picture> decoded;
    for (const std::string &image : r.decoded) {
      json_object *object = json_object_new_object();
      add_field(object, "type", static_cast<int>(decoded.size()));
      json_object_array_add(objects, object);
      decoded.push_back({object, reinterpret_cast<const unsigned char *>(image.data()), image.size()});
    }
    locate_apic_data(reinterpret_cast<const unsigned char *>(r.bytes.data()), r.bytes.size(), r.flags, id3.get(),
                     decoded, 0);
    EXPECT_EQ(json_text(objects), canonical_json(r.after)) << r.name;
    EXPECT_EQ(joined(log.lines), r.log ? r.log : "") << r.name;
  }
}

// A tag within the bytes the dispatch reads at once, ending near their end,
// or passing them gives what a small one gives: its frames, the picture's location and
// the audio behind it.
TEST(Id3Tags, TagsPastTheFirstReadGiveTheSameRecord) {
  const std::string fixture = data_path("id3/cbr_info_44k_stereo.mp3"), mp3 = read_file(fixture);
  const size_t tag_end = 10 + (size_t(mp3[6]) << 21 | size_t(mp3[7]) << 14 | size_t(mp3[8]) << 7 | size_t(mp3[9]));
  const std::string audio = json_text(json_object_object_get(record_of(fixture).get(), "audio"));
  ASSERT_NE(audio, "null");
  // Tag header, the title frame, the picture frame's header, its fields.
  const std::string id3 = R"({"TIT2":["Tone"],"APIC":[)" + png_located(10 + 15 + 10 + 13) + "]}";
  temp_dir dir;
  for (size_t length : {size_t(2000), head_bytes - 100, head_bytes + 5, size_t(300000)}) {
    const std::string body = frame(4, "TIT2", "\3Tone"s) + frame(4, "APIC", png_picture);
    json_ptr record = record_of(dir.write("big.mp3", tag_of_length(length, 4, body) + mp3.substr(tag_end)));
    expect_same_json(json_text(json_object_object_get(record.get(), "id3")), id3, std::to_string(length));
    EXPECT_EQ(json_text(json_object_object_get(record.get(), "audio")), audio) << length;
  }
}

// The library closes the descriptor it reads through; the caller's stream
// must keep its own, and no descriptor may be left behind.
TEST(Id3Tags, LibraryFileReadingLeavesTheCallersStreamOpen) {
  int lowest_free = dup(0);
  close(lowest_free);
  FILE *file = stream_from_bytes(tag_of_length(2097153));
  json_ptr root(json_object_new_object());
  parse_id3(file, root.get(), "x.mp3");
  EXPECT_NE(fcntl(fileno(file), F_GETFD), -1);
  EXPECT_EQ(fclose(file), 0);
  int after = dup(0);
  close(after);
  EXPECT_EQ(after, lowest_free);
}

// The confined worker answers as this process does: the library's own file
// reading, with the frame walk that keeps it from huge frames, must not need
// a forbidden call.
TEST(Id3Tags, ConfinedWorkerGivesTheSameRecords) {
  temp_dir dir;
  const std::string tags[] = {
      tag_of_length(2097153),
      tag_of_length(2097153, 3, unsynchronised(frame(3, "TIT2", "\0\xFF\xE0"s)), 0x80),
      tag_of_length(2097153, 2, frame(2, "PIC", "\0JPG\x03\0IMG"s)),
  };
  worker_process worker;
  for (size_t i = 0; i < std::size(tags); ++i) {
    std::string path = dir.write("big" + std::to_string(i) + ".mp3", tags[i]), line;
    worker.send(std::to_string(i) + ":" + path + "\n");
    ASSERT_TRUE(worker.read_line(&line)) << worker.errors();
    // "ID:SIZE:MODIFIED:" and the record.
    EXPECT_EQ(line.substr(0, 2), std::to_string(i) + ":");
    EXPECT_EQ(canonical_json(line.substr(line.find('{'))), record_text(path)) << i;
  }
}

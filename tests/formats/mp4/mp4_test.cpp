// MPEG-4 boxes built at test time: what no committed file can hold (a 5 GiB
// media box, 72 MB of crafted boxes), the header budgets, and every item
// payload case. The box walk over whole files is in the golden records of
// tests/data/mp4 (tool-made and crafted).
#include "formats/mp4/mp4.h"
#include "formats/mp4/mp4_boxes.h"
#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <limits>
#include <vector>

namespace {

using lines = std::vector<std::string>;


// A "data" box: type indicator (1 text, 0 integer, 13 JPEG...), locale 0;
// `size` overrides its size field.
std::string data_box(uint32_t indicator, const std::string &payload, uint32_t size = 0) {
  return be32(size ? size : static_cast<uint32_t>(16 + payload.size())) + "data" + be32(indicator) + be32(0) + payload;
}
// moov/udta/meta/ilst around `items`.
std::string item_list(const std::string &items) {
  return box("udta", box("meta", std::string(4, '\0') + box("ilst", items)));
}

// Movie header payloads; the fields not decoded are zero.
std::string mvhd_v0(uint32_t scale, uint32_t duration) {
  return box("mvhd", be32(0) + be32(1) + be32(2) + be32(scale) + be32(duration) + std::string(52, '\0') + be32(3) +
                         be32(4) + be32(5) + std::string(16, '\0'));
}
const std::string mvhd_v0_json = R"({"creationTime":1.0,"modificationTime":2.0,"timeScale":600.0,"duration":300.0,)"
                                 R"("previewTime":3.0,"previewDuration":4.0,"posterTime":5.0})";
const std::string ftyp = box("ftyp", "M4A " + be32(0) + "M4A mp42isom");


std::string repeated_box(const std::string &code, uint32_t times) {
  std::string out;
  for (uint32_t i = 0; i < times; ++i)
    out += box(code, "");
  return out;
}


} // namespace

// A media box of 5 GiB in a sparse file: the movie and cover after it are
// found, and the cover's offset is past 4 GiB.
TEST(Mp4Walk, PositionsPastFourGibibytes) {
  const uint64_t media = 5ULL << 30;
  const std::string head = ftyp + be32(1) + "mdat" + be64(media);
  const std::string tail = box("moov", item_list(box("covr", data_box(13, "JPEG"))));
  FILE *file = stream_from_bytes(head);
  const off_t tail_at = static_cast<off_t>(ftyp.size() + media);
  ASSERT_EQ(pwrite(fileno(file), tail.data(), tail.size(), tail_at), static_cast<ssize_t>(tail.size()));
  json_ptr root(json_object_new_object());
  parse_mp4(file, root.get());
  fclose(file);
  EXPECT_EQ(json_text(root.get()),
            R"({"mp4":{"thumbSize":4,"thumbOffset":)" + std::to_string(tail_at + tail.size() - 4) + "}}");
}

// Crafted files that made every open walk re-read the rest of the file, or
// that hold more headers than any real file: each walk keeps what it found
// and the budgets bound the headers read and the far reads (each a 64 KiB
// window), whatever the file.
TEST(Mp4Walk, BudgetsBoundCraftedFiles) {
  std::string nesting = box("moov", mvhd_v0(600, 300));
  for (int i = 0; i < 200; ++i)
    nesting += box("trak", "") + box("mdia", "");
  std::string empty_movies;
  for (int i = 0; i < 2000; ++i)
    empty_movies += box("moov", "");
  // 1,100 pairs of an empty movie and a 64 KiB free box: 72 MB, written
  // sparse at test time.
  std::vector<std::pair<off_t, std::string>> movies_and_free;
  for (off_t i = 0, at = 0; i < 1100; ++i, at += 8 + 65536) {
    movies_and_free.push_back({at, box("moov", "")});
    movies_and_free.push_back({at + 8, be32(65536) + "free"});
  }
  const std::string giving_up = "Too many mp4 boxes, giving up!\n";
  const struct {
    const char *name;
    std::string bytes;
    std::vector<std::pair<off_t, std::string>> sparse; // written over `bytes` at their offsets
    std::string mp4;
    lines logs;
    uint32_t max_headers; // read at most
  } rows[] = {
      {"containers after the movie entered by walks past their ends", nesting, {}, R"({"mvhd":)" + mvhd_v0_json + "}",
       {}, 1 + 5 + 400 + 16 + 8 * (16 + 8 * 16)},
      {"2,000 empty movies in 16 KB", empty_movies, {}, "{}", {}, 2000 * (1 + max_boxes_past_container)},
      {"1,100 empty movies each before 64 KiB", "", movies_and_free, "{}", {giving_up}, 2 * max_window_reads},
      {"more headers than any real file", repeated_box("free", max_box_headers + 1), {}, "{}", {giving_up},
       max_box_headers},
  };
  for (const auto &r : rows) {
    FILE *file = stream_from_bytes(r.bytes);
    for (const auto &[at, bytes] : r.sparse)
      ASSERT_EQ(pwrite(fileno(file), bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    log_capture logs;
    json_ptr mp4(json_object_new_object());
    parse_state state;
    process_boxes(file, mp4.get(), &state, std::numeric_limits<int64_t>::max());
    fclose(file);
    EXPECT_EQ(json_text(mp4.get()), r.mp4) << r.name;
    EXPECT_EQ(logs.lines, r.logs) << r.name;
    EXPECT_LE(max_box_headers - state.headers_left, r.max_headers) << r.name;
  }
}

namespace {

using handler = void (*)(FILE *, json_object *, unsigned int);
const handler text = process_data_box_text, numeric = process_data_box_numeric;
const handler covr = [](FILE *file, json_object *mp4, unsigned int) { process_data_box_covr(file, mp4); };
constexpr uint32_t nam = box_code("\xa9nam"), gnre = box_code("gnre"), trkn = box_code("trkn"), disk = box_code("disk");

struct item_case {
  const char *name;
  handler handle;
  uint32_t code;
  std::string bytes; // from the data box's header on, as the handler finds the file
  std::string mp4;   // the whole "mp4" object afterwards
  lines logs;
};

void expect_items(const std::vector<item_case> &cases) {
  for (const item_case &c : cases) {
    log_capture logs;
    FILE *file = stream_from_bytes(c.bytes);
    json_ptr mp4(json_object_new_object());
    c.handle(file, mp4.get(), c.code);
    fclose(file);
    EXPECT_EQ(json_text(mp4.get()), c.mp4) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

} // namespace

TEST(Mp4Items, TextPayloads) {
  const std::string longest(257, 'a');
  expect_items({
      {"empty", text, nam, data_box(1, ""), R"({"_nam":""})", {}},
      {"257 bytes kept whole", text, nam, data_box(1, longest), R"({"_nam":")" + longest + "\"}", {}},
      {"258 bytes", text, nam, data_box(1, longest + "a"), "{}", {"DATA box had invalid size!\n"}},
      {"zero byte inside", text, box_code("desc"), data_box(1, std::string("ab\0cd", 5)), R"({"desc":"ab"})", {}},
      {"invalid UTF-8 escaped", text, box_code("aART"), data_box(1, "Caf\xe9"), R"({"aART":"Caf\\u00e9"})", {}},
      {"integer indicator", text, nam, data_box(0, "x"), "{}", {"Expected text DATA box!\n"}},
      {"not a data box", text, nam, box("free", be32(1) + be32(0) + "x"), "{}", {"DATA box expected!\n"}},
      {"size below 16", text, nam, data_box(1, "", 8), "{}", {"DATA box had invalid size!\n"}},
      {"header cut", text, nam, data_box(1, "").substr(0, 10), "{}", {"DATA box not big enough!\n"}},
      {"payload cut", text, nam, data_box(1, "short", 30), "{}", {"Data box read was too short!\n"}},
  });
}

// An 8-byte track number and a cover after its data header are in the
// tags.m4a fixture's golden record.
TEST(Mp4Items, NumericPayloads) {
  std::vector<item_case> cases = {
      {"genre is the second byte alone", numeric, gnre, data_box(0, "\x01\x02"), R"({"gnre":2})", {}},
      {"genre of DATA size 12", numeric, gnre, data_box(0, "", 12), "{}", {"Genre was not 2 bytes long (0)\n"}},
      {"disc of 6 bytes", numeric, disk, data_box(0, std::string("\0\0\x01\x02\x01\x03", 6)),
       R"({"disk":{"position":258,"total":259}})", {}},
      {"9 bytes", numeric, trkn, data_box(0, std::string(9, '\0')), "{}", {"DATA box had invalid size!\n"}},
      {"text indicator", numeric, gnre, data_box(1, "\0\x01"), "{}", {"Expected numeric DATA box!\n"}},
      {"not a data box", numeric, trkn, box("free", std::string(14, '\0')), "{}", {"DATA box expected!\n"}},
      {"header cut", numeric, disk, "\0\0", "{}", {"DATA box not big enough!\n"}},
  };
  for (size_t n = 0; n < 2; ++n)
    cases.push_back({"short genre", numeric, gnre, data_box(0, std::string(n, '\x05')), "{}",
                     {"Genre was not 2 bytes long (" + std::to_string(n) + ")\n"}});
  for (uint32_t code : {trkn, disk})
    for (size_t n = 0; n < 6; ++n)
      cases.push_back({"short track or disc", numeric, code, data_box(0, std::string(n, '\x05')), "{}",
                       {"trkn/disk was not 6 bytes long " + std::to_string(n) + "\n"}});
  expect_items(cases);
}

TEST(Mp4Items, CoverLocation) {
  expect_items({
      {"DATA size 16", covr, 0, data_box(14, ""), R"({"thumbSize":0,"thumbOffset":16})", {}},
      {"size below 16", covr, 0, data_box(13, "JPEG", 8), "{}", {"COVR DATA box had invalid size!\n"}},
      {"not a data box", covr, 0, box("free", std::string(12, '\0')), "{}", {"COVR DATA box expected!\n"}},
      {"header cut", covr, 0, data_box(13, "").substr(0, 15), "{}", {"DATA box not big enough!\n"}},
      {"image cut by the end of the file", covr, 0, data_box(13, "JPEG", 21), "{}",
       {"COVR image runs past the end of the file!\n"}},
  });
}

TEST(Mp4Items, KeysFromBoxCodes) {
  json_ptr mp4(json_object_new_object());
  for (uint32_t code : {box_code("desc"), box_code("aART"), nam, box_code("\xa9" "A2T"), 0x00612D7Au})
    add_box_to_root(mp4.get(), code, json_object_new_int(1));
  add_box_to_root(mp4.get(), box_code("desc"), json_object_new_int(2)); // replaces
  add_box_to_root(mp4.get(), box_code("cprt"), nullptr);
  EXPECT_EQ(json_text(mp4.get()), R"({"desc":2,"aART":1,"_nam":1,"_A_T":1,"_a_z":1})");
}

// The records are golden (tests/data/mp4); the covers they locate must be
// exactly the images the tools embedded.
TEST(Mp4Fixtures, CoversAreTheEmbeddedImages) {
  for (const auto &[file, cover] : {std::pair{"audio.m4a", "cover.jpg"}, std::pair{"video.mp4", "cover.png"}}) {
    const std::string path = data_path(std::string("mp4/") + file);
    json_ptr record = record_of(path);
    ASSERT_TRUE(record) << file;
    json_object *mp4 = json_object_object_get(record.get(), "mp4");
    const int64_t offset = json_object_get_int64(json_object_object_get(mp4, "thumbOffset"));
    const int64_t size = json_object_get_int64(json_object_object_get(mp4, "thumbSize"));
    const std::string image = read_file(data_path(std::string("mp4/") + cover));
    ASSERT_FALSE(image.empty()) << cover;
    EXPECT_EQ(read_file(path).substr(static_cast<size_t>(offset), static_cast<size_t>(size)), image) << file;
  }
}

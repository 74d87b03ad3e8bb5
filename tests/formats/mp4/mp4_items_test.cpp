#include "formats/mp4/mp4_boxes.h"
#include "mp4_test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

enum class handler { text, numeric, covr };

struct item_case {
  const char *name;
  handler kind;
  uint32_t code;
  std::string bytes; // from the data box's header on, as the handler finds the file
  std::string mp4;   // the whole "mp4" object afterwards
  std::vector<std::string> logs;
};

void expect_item(const item_case &c) {
  log_capture logs;
  FILE *file = stream_from_bytes(c.bytes);
  ASSERT_NE(file, nullptr);
  json_ptr mp4(json_object_new_object());
  switch (c.kind) {
  case handler::text:
    process_data_box_text(file, mp4.get(), c.code);
    break;
  case handler::numeric:
    process_data_box_numeric(file, mp4.get(), c.code);
    break;
  case handler::covr:
    process_data_box_covr(file, mp4.get());
    break;
  }
  fclose(file);
  EXPECT_EQ(json_object_to_json_string_ext(mp4.get(), JSON_C_TO_STRING_PLAIN), c.mp4) << c.name;
  EXPECT_EQ(logs.lines, c.logs) << c.name;
}

// A data box whose size field says `size`, whatever follows it.
std::string data_sized(uint32_t size, uint32_t indicator, const std::string &payload) {
  return be32(size) + "data" + be32(indicator) + be32(0) + payload;
}

constexpr uint32_t nam = box_code("\xa9nam");
constexpr uint32_t gnre = box_code("gnre");
constexpr uint32_t trkn = box_code("trkn");
constexpr uint32_t disk = box_code("disk");

} // namespace

TEST(Mp4Items, TextPayloads) {
  const std::string longest(257, 'a');
  const item_case cases[] = {
      {"empty", handler::text, nam, data_box(1, ""), R"({"_nam":""})", {}},
      {"257 bytes kept whole", handler::text, nam, data_box(1, longest), R"({"_nam":")" + longest + "\"}", {}},
      {"258 bytes", handler::text, nam, data_box(1, longest + "a"), "{}", {"DATA box had invalid size!\n"}},
      {"zero byte inside", handler::text, box_code("desc"), data_box(1, std::string("ab\0cd", 5)),
       R"({"desc":"ab"})", {}},
      {"invalid UTF-8 escaped", handler::text, box_code("aART"), data_box(1, "Caf\xe9"),
       R"({"aART":"Caf\\u00e9"})", {}},
      {"integer indicator", handler::text, nam, data_box(0, "x"), "{}", {"Expected text DATA box!\n"}},
      {"not a data box", handler::text, nam, box("free", be32(1) + be32(0) + "x"), "{}", {"DATA box expected!\n"}},
      {"size below 16", handler::text, nam, data_sized(8, 1, ""), "{}", {"DATA box had invalid size!\n"}},
      {"header cut", handler::text, nam, data_box(1, "").substr(0, 10), "{}", {"DATA box not big enough!\n"}},
      {"payload cut", handler::text, nam, data_sized(30, 1, "short"), "{}", {"Data box read was too short!\n"}},
  };
  for (const item_case &c : cases)
    expect_item(c);
}

TEST(Mp4Items, NumericPayloads) {
  std::vector<item_case> cases = {
      {"genre takes the second byte", handler::numeric, gnre, data_box(0, std::string("\x00\x0d", 2)),
       R"({"gnre":13})", {}},
      {"genre ignores the first byte", handler::numeric, gnre, data_box(0, "\x01\x02"), R"({"gnre":2})", {}},
      {"genre of DATA size 12", handler::numeric, gnre, data_sized(12, 0, ""), "{}",
       {"Genre was not 2 bytes long (0)\n"}},
      {"track of 8 bytes", handler::numeric, trkn, data_box(0, std::string("\0\0\0\x03\0\x0c\0\0", 8)),
       R"({"trkn":{"position":3,"total":12}})", {}},
      {"disc of 6 bytes", handler::numeric, disk, data_box(0, std::string("\0\0\x01\x02\x01\x03", 6)),
       R"({"disk":{"position":258,"total":259}})", {}},
      {"9 bytes", handler::numeric, trkn, data_box(0, std::string(9, '\0')), "{}", {"DATA box had invalid size!\n"}},
      {"text indicator", handler::numeric, gnre, data_box(1, "\0\x01"), "{}", {"Expected numeric DATA box!\n"}},
      {"not a data box", handler::numeric, trkn, box("free", std::string(14, '\0')), "{}", {"DATA box expected!\n"}},
      {"header cut", handler::numeric, disk, "\0\0", "{}", {"DATA box not big enough!\n"}},
  };
  for (size_t n = 0; n < 2; ++n)
    cases.push_back({"short genre", handler::numeric, gnre, data_box(0, std::string(n, '\x05')), "{}",
                     {"Genre was not 2 bytes long (" + std::to_string(n) + ")\n"}});
  for (uint32_t code : {trkn, disk})
    for (size_t n = 0; n < 6; ++n)
      cases.push_back({"short track or disc", handler::numeric, code, data_box(0, std::string(n, '\x05')), "{}",
                       {"trkn/disk was not 6 bytes long " + std::to_string(n) + "\n"}});
  for (const item_case &c : cases)
    expect_item(c);
}

TEST(Mp4Items, CoverLocation) {
  const item_case cases[] = {
      {"image after the data header", handler::covr, 0, data_box(13, "JPEG") + "next",
       R"({"thumbSize":4,"thumbOffset":16})", {}},
      {"DATA size 16", handler::covr, 0, data_box(14, ""), R"({"thumbSize":0,"thumbOffset":16})", {}},
      {"size below 16", handler::covr, 0, data_sized(8, 13, "JPEG"), "{}", {"COVR DATA box had invalid size!\n"}},
      {"not a data box", handler::covr, 0, box("free", std::string(12, '\0')), "{}", {"COVR DATA box expected!\n"}},
      {"header cut", handler::covr, 0, data_box(13, "").substr(0, 15), "{}", {"DATA box not big enough!\n"}},
  };
  for (const item_case &c : cases)
    expect_item(c);
}

TEST(Mp4Items, KeysFromBoxCodes) {
  json_ptr mp4(json_object_new_object());
  const uint32_t codes[] = {box_code("desc"), box_code("aART"), nam, box_code("\xa9""A2T"), 0x00612D7A};
  for (uint32_t code : codes)
    add_box_to_root(mp4.get(), code, json_object_new_int(1));
  add_box_to_root(mp4.get(), box_code("desc"), json_object_new_int(2)); // replaces
  add_box_to_root(mp4.get(), box_code("cprt"), nullptr);
  EXPECT_STREQ(json_object_to_json_string_ext(mp4.get(), JSON_C_TO_STRING_PLAIN),
               R"({"desc":2,"aART":1,"_nam":1,"_A_T":1,"_a_z":1})");
}

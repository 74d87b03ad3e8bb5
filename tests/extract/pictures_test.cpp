// The "pictures" member from records built as JSON, over byte-built files
// for the MP4 covers that are read again: types, further covers, bounds.
#include "extract/pictures.h"

#include "support/byte_builders.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

// A data box of an MP4 cover: its size field, type indicator and image.
std::string data_box(uint32_t indicator, const std::string &image, uint32_t size = 0) {
  return be32(size ? size : static_cast<uint32_t>(16 + image.size())) + "data" + be32(indicator) + be32(0) + image;
}
std::string repeated(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

} // namespace

TEST(Pictures, EveryLocatedPictureInFileOrder) {
  const std::string covers = "head" + data_box(13, "JPEG") + data_box(14, "PNG") + data_box(27, "B") +
                             data_box(1, "text") + data_box(13, "", 8);
  const std::string past_the_end = "head" + data_box(13, "JPEG") + data_box(14, "PNG", 100);
  const struct {
    const char *name;
    std::string file;
    const char *record;
    const char *pictures; // "" when none
  } rows[] = {
      {"id3: located ones, sorted, kinds by type",
       "",
       R"({"id3":{"APIC":[{"type":4,"mime":"image/png","thumbOffset":100,"thumbSize":5},{"type":3,"mime":"x"},
          {"type":7,"mime":"image/jpeg","thumbOffset":50,"thumbSize":9},{"type":3,"thumbOffset":200,"thumbSize":1}]}})",
       R"([{"offset":50,"size":9,"mime":"image/jpeg","kind":"other"},{"offset":100,"size":5,"mime":"image/png",
          "kind":"back"},{"offset":200,"size":1,"kind":"front"}])"},
      {"mp4: the cover and the data boxes after it", covers, R"({"mp4":{"thumbOffset":20,"thumbSize":4}})",
       R"([{"offset":20,"size":4,"mime":"image/jpeg","kind":"front"},{"offset":40,"size":3,"mime":"image/png",
          "kind":"front"},{"offset":59,"size":1,"mime":"image/bmp","kind":"front"},{"offset":76,"size":4,
          "kind":"front"}])"},
      {"mp4: a further cover running past the end of the file", past_the_end,
       R"({"mp4":{"thumbOffset":20,"thumbSize":4}})", R"([{"offset":20,"size":4,"mime":"image/jpeg","kind":"front"}])"},
      {"mp4: a cover whose header does not read back", "tiny", R"({"mp4":{"thumbOffset":20,"thumbSize":4}})",
       R"([{"offset":20,"size":4,"kind":"front"}])"},
      {"mp4: a chain of covers is cut at sixteen", repeated(data_box(13, "J"), 40),
       R"({"mp4":{"thumbOffset":16,"thumbSize":1}})", nullptr},
      {"exif thumbnail", "", R"({"exif":{"thumbOffset":478,"thumbLength":288}})",
       R"([{"offset":478,"size":288,"mime":"image/jpeg","kind":"thumbnail"}])"},
      {"flac blocks and a wav id3 chunk, kinds by type",
       "", R"({"flac":{"pictures":[{"type":4,"mime":"image/png","thumbOffset":90,"thumbSize":5},{"type":3}]},
          "wav":{"id3":{"APIC":[{"type":3,"mime":"image/jpeg","thumbOffset":10,"thumbSize":2}]}}})",
       R"([{"offset":10,"size":2,"mime":"image/jpeg","kind":"front"},{"offset":90,"size":5,"mime":"image/png",
          "kind":"back"}])"},
      {"nothing located", "", R"({"id3":{"APIC":[{"type":3}]},"exif":{"thumbOffset":1}})", ""},
  };
  for (const auto &r : rows) {
    json_ptr root = parse_json(r.record);
    ASSERT_TRUE(root) << r.name;
    FILE *file = stream_from_bytes(r.file);
    add_pictures(file, root.get());
    fclose(file);
    json_object *pictures = json_object_object_get(root.get(), "pictures");
    if (r.pictures == nullptr)
      EXPECT_EQ(pictures != nullptr ? json_object_array_length(pictures) : 0, 16u) << r.name;
    else
      EXPECT_EQ(pictures != nullptr ? json_text(pictures) : "", *r.pictures ? canonical_json(r.pictures) : "")
          << r.name;
  }
}

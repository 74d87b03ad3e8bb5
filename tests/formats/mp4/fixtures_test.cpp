// Files made by real tools (tests/data/mp4/make_fixtures.sh): each record is
// checked whole, and each cover's location against the image embedded.
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

struct fixture_case {
  const char *file;
  const char *cover; // the image the script embedded, or null
};

std::string plain(json_object *value) { return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN); }

} // namespace

TEST(Mp4Fixtures, RecordsAndCoversMatchWhatTheToolsWrote) {
  const fixture_case cases[] = {
      {"audio.m4a", "cover.jpg"},
      {"video.mp4", "cover.png"},
      {"clip.3gp", nullptr},
  };
  for (const fixture_case &c : cases) {
    const std::string path = data_path(std::string("mp4/") + c.file);
    json_ptr record = record_of(path);
    json_ptr expected = parse_json(read_file(path + ".json"));
    ASSERT_TRUE(record && expected) << c.file;
    EXPECT_EQ(plain(record.get()), plain(expected.get())) << c.file;
    if (c.cover == nullptr)
      continue;
    json_object *mp4 = json_object_object_get(record.get(), "mp4");
    const int64_t offset = json_object_get_int64(json_object_object_get(mp4, "thumbOffset"));
    const int64_t size = json_object_get_int64(json_object_object_get(mp4, "thumbSize"));
    const std::string image = read_file(data_path(std::string("mp4/") + c.cover));
    ASSERT_FALSE(image.empty()) << c.cover;
    EXPECT_EQ(read_file(path).substr(static_cast<size_t>(offset), static_cast<size_t>(size)), image) << c.file;
  }
}

// The "tags" member from records built as JSON: the mapping of ID3 frames
// and MP4 items, genre numbers, dates, number pairs and several values.
#include "extract/tags.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

TEST(Tags, FromTheFormatMember) {
  const struct {
    const char *name;
    const char *record;
    const char *comment;
    const char *tags; // "" when none
  } rows[] = {
      {"id3, every frame",
       R"({"id3":{"TIT2":["T"],"TPE1":["A","B"],"TALB":["L"],"TPE2":["AA"],"TCON":["Rock"],"TDRC":["2021-05-03"],
          "TRCK":["3/12"],"TPOS":["1/2"],"TCOM":["C"]}})",
       "words",
       R"({"title":"T","artist":"A; B","album":"L","albumArtist":"AA","genre":"Rock","year":"2021","track":3,
          "trackTotal":12,"disc":1,"discTotal":2,"composer":"C","comment":"words"})"},
      {"id3 genre numbers", R"j({"id3":{"TCON":["17","(8)","(4)Eurodisco","(17","999","Jazz"]}})j", "",
       R"({"genre":"Rock; Jazz; Eurodisco; (17; 999; Jazz"})"},
      {"id3 year frame, numbers without totals", R"({"id3":{"TYER":["1987"],"TRCK":["7"],"TPOS":["x/3"]}})", "",
       R"({"year":"1987","track":7,"discTotal":3})"},
      {"id3 empty texts and other frames", R"({"id3":{"TIT2":[""],"TRCK":["0/0"],"WOAR":"http://x","APIC":[]}})", "",
       ""},
      {"mp4, every item",
       R"({"mp4":{"_nam":"T","_ART":"A","_alb":"L","aART":"AA","_gen":"Pop","gnre":9,"_day":"2020-01-02T03:04:05Z",
          "trkn":{"position":4,"total":0},"disk":{"position":2,"total":3},"_wrt":"C","_cmt":"note"}})",
       "ignored",
       R"({"title":"T","artist":"A","album":"L","albumArtist":"AA","genre":"Pop","year":"2020","track":4,
          "disc":2,"discTotal":3,"composer":"C","comment":"note"})"},
      {"mp4 genre number is one more than ID3's", R"({"mp4":{"gnre":9}})", "", R"({"genre":"Jazz"})"},
      {"mp4 genre number 0 is none", R"({"mp4":{"gnre":0,"desc":"d"}})", "", ""},
      {"vorbis comments, totals apart or in the number, description for comment",
       R"({"flac":{"comments":{"TITLE":"T","ARTIST":["A","B"],"ALBUM":"L","ALBUMARTIST":"AA","GENRE":"Folk",
          "DATE":"1999-02","TRACKNUMBER":"3","TRACKTOTAL":"12","DISCNUMBER":"1/2","DISCTOTAL":"9",
          "COMPOSER":"C","DESCRIPTION":"d"}}})",
       "ignored",
       R"({"title":"T","artist":"A; B","album":"L","albumArtist":"AA","genre":"Folk","year":"1999","track":3,
          "trackTotal":12,"disc":1,"discTotal":2,"composer":"C","comment":"d"})"},
      {"ogg comment wins over description", R"({"vorbis":{"comments":{"COMMENT":"c","DESCRIPTION":"d"}}})", "",
       R"({"comment":"c"})"},
      {"wav info texts, track under IPRT",
       R"({"wav":{"info":{"INAM":"T","IART":"A","IPRD":"L","IGNR":"Jazz","ICRD":"2020-01-01","ICMT":"c",
          "IPRT":"4/9"}}})",
       "", R"({"title":"T","artist":"A","album":"L","genre":"Jazz","year":"2020","track":4,"trackTotal":9,
          "comment":"c"})"},
      {"wav id3 chunk before info", R"({"wav":{"info":{"INAM":"info"},"id3":{"TIT2":["id3"]}}})", "c",
       R"({"title":"id3","comment":"c"})"},
      {"no format member", R"({"exif":{"Make":"x"}})", "c", ""},
  };
  for (const auto &r : rows) {
    json_ptr root = parse_json(r.record);
    ASSERT_TRUE(root) << r.name;
    add_tags(root.get(), r.comment);
    json_object *tags = json_object_object_get(root.get(), "tags");
    EXPECT_EQ(tags != nullptr ? json_text(tags) : "", *r.tags ? canonical_json(r.tags) : "") << r.name;
  }
}

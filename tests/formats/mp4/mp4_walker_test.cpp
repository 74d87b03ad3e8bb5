#include "mp4_test_support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace {

// Movie header payloads; the fields not decoded are zero (rate and volume
// too: nothing reads them).
std::string mvhd_v0(uint32_t scale, uint32_t duration) {
  return box("mvhd", be32(0) + be32(1) + be32(2) + be32(scale) + be32(duration) + std::string(52, '\0') + be32(3) +
                         be32(4) + be32(5) + std::string(16, '\0'));
}
const std::string mvhd_v0_json = R"({"creationTime":1.0,"modificationTime":2.0,"timeScale":600.0,"duration":300.0,)"
                                 R"("previewTime":3.0,"previewDuration":4.0,"posterTime":5.0})";

const std::string ftyp = box("ftyp", "M4A " + be32(0) + "M4A mp42isom");

std::string hex(size_t offset) {
  char text[32];
  snprintf(text, sizeof text, "0x%zx", offset);
  return text;
}

struct walk_case {
  const char *name;
  std::string bytes;
  std::string mp4;               // the whole "mp4" object
  std::vector<std::string> logs; // every line logged, in order
};

void expect_walk(const walk_case &c) {
  log_capture logs;
  EXPECT_EQ(mp4_of(c.bytes), c.mp4) << c.name;
  EXPECT_EQ(logs.lines, c.logs) << c.name;
}

} // namespace

TEST(Mp4Walk, EntersContainersOnlyAlongTheirPathsAndRestoresLevels) {
  const std::string ilst_title = item_list(text_item("\xa9nam", "Song"));
  const walk_case cases[] = {
      {"empty file", "", "{}", {}},
      // The file type box is stepped over; after each nested walk the
      // movie's walk is back at its own level and still decodes the header.
      {"tracks in file order, then header",
       ftyp + box("moov", track("soun") + track("hint") + track("vide") + mvhd_v0(600, 300)),
       R"({"HDLR":["audio","video"],"mvhd":)" + mvhd_v0_json + "}",
       {}},
      // The walk inside the movie runs on past its end and enters this udta.
      {"udta after the movie at the top level", box("moov", "") + ilst_title, R"({"_nam":"Song"})", {}},
      // The movie's own walk is at level 2 and steps over a second movie.
      {"second movie entered once", box("moov", "") + box("moov", track("soun")), R"({"HDLR":["audio"]})", {}},
      {"text item at the top level", text_item("desc", "About"), R"({"desc":"About"})", {}},
      {"udta inside a track not entered", box("moov", box("trak", ilst_title)), "{}", {}},
      {"cover outside the item list ignored", box("covr", data_box(13, "JPEG")), "{}", {}},
      {"handler of an unknown type", box("moov", track("text")), R"({"HDLR":[]})", {}},
      {"handler of version 1",
       box("moov", box("trak", box("mdia", box("hdlr", "\x01" + std::string(7, '\0') + "soun" + "    ")))),
       R"({"HDLR":[]})",
       {"MDLR version unrecognized!\n"}},
      {"movie header of 50 bytes", box("moov", box("mvhd", std::string(50, '\0'))), "{}",
       {"MVHD box not big enough!\n"}},
      {"movie header with no byte left", box("moov", box("mvhd", "")), "{}", {"MVHD box not big enough!\n"}},
  };
  for (const walk_case &c : cases)
    expect_walk(c);
}

TEST(Mp4Walk, VersionOneMovieHeaderHasItsOwnLayout) {
  const uint64_t created = 0x123456789AULL, modified = 0x223456789AULL, duration = 0x300000001ULL;
  std::string payload = "\x01" + std::string(3, '\0') + be64(created) + be64(modified) + be32(90000) +
                        be64(duration) + std::string(52, '\0') + be32(3) + be32(4) + be32(5) + std::string(16, '\0');
  ASSERT_EQ(payload.size(), 112u);
  expect_walk({"version 1", box("moov", box("mvhd", payload)),
               R"({"mvhd":{"creationTime":78187493530.0,"modificationTime":146906970266.0,"timeScale":90000.0,)"
               R"("duration":12884901889.0,"previewTime":3.0,"previewDuration":4.0,"posterTime":5.0}})",
               {}});
  // A version-1 header cut inside its 12 extra bytes is too short.
  expect_walk({"version 1 cut", box("moov", box("mvhd", payload.substr(0, 105))), "{}",
               {"MVHD box not big enough!\n"}});
}

TEST(Mp4Walk, BoxSizesAndFaultsNearTheEndOfTheFile) {
  const std::string movie = box("moov", mvhd_v0(600, 300));
  const std::string found = R"({"mvhd":)" + mvhd_v0_json + "}";
  const std::string after = std::to_string(movie.size());
  const std::string large_mdat = be32(1) + "mdat" + be64(16 + 5) + "media";
  const walk_case cases[] = {
      // Both the movie's walk (running on past its end) and the top-level
      // walk meet the broken box; what came before stays.
      {"size below 8", movie + be32(4) + "free", found,
       {"Invalid mp4 box, size small! " + after + "\n", "Invalid mp4 box, size small! " + after + "\n"}},
      {"stray bytes met by every open walk", box("moov", item_list("")) + "abc", "{}",
       std::vector<std::string>(5, "Incomplete mp4 box! at " + hex(8 + 8 + 12 + 8) + "\n")},
      {"box running past the end of the file", movie + be32(1000) + "free", found, {}},
      {"movie after a media box with a 64-bit size", ftyp + large_mdat + movie, found, {}},
      {"64-bit size below 16", be32(1) + "mdat" + be64(15) + movie, "{}", {"Invalid mp4 box, size small! 0\n"}},
      {"64-bit size past any file", movie + be32(1) + "mdat" + be64(~0ULL), found, {}},
      {"size-0 media box last", movie + be32(0) + "mdat" + "media bytes", found, {}},
      {"size-0 movie is entered", be32(0) + "moov" + mvhd_v0(600, 300), found, {}},
      // The size-0 box holds the rest of the file: no box is read inside it.
      {"size-0 box ends the walk", be32(0) + "free" + movie, "{}", {}},
  };
  for (const walk_case &c : cases)
    expect_walk(c);
}

// A media box of 5 GiB in a sparse file: the movie and cover after it are
// found, and the cover's offset is past 4 GiB.
TEST(Mp4Walk, PositionsPastFourGibibytes) {
  const uint64_t media = 5ULL << 30;
  const std::string head = ftyp + be32(1) + "mdat" + be64(media);
  const std::string tail = box("moov", item_list(box("covr", data_box(13, "JPEG"))));
  int fd = memfd_create("mp4-sparse", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  const off_t tail_at = static_cast<off_t>(ftyp.size() + media);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), tail_at), static_cast<ssize_t>(tail.size()));
  FILE *file = fdopen(fd, "rb");
  ASSERT_NE(file, nullptr);
  json_ptr root(json_object_new_object());
  parse_mp4(file, root.get());
  fclose(file);
  const off_t image_at = tail_at + static_cast<off_t>(tail.size()) - 4;
  EXPECT_STREQ(json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN),
               (R"({"mp4":{"thumbSize":4,"thumbOffset":)" + std::to_string(image_at) + "}}").c_str());
}

// Crafted nesting makes every open walk re-read what follows: the parse
// stops after its header budget, says so once, and keeps what it found.
TEST(Mp4Walk, HeaderBudgetBoundsCraftedNesting) {
  std::string bytes = box("moov", mvhd_v0(600, 300));
  for (int i = 0; i < 200; ++i)
    bytes += box("trak", "") + box("mdia", "");
  log_capture logs;
  EXPECT_EQ(mp4_of(bytes), R"({"mvhd":)" + mvhd_v0_json + "}");
  EXPECT_EQ(logs.lines, std::vector<std::string>{"Too many mp4 boxes, giving up!\n"});
}

#include "formats/image/exif_internal.h"
#include "exif_bytes.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

const std::string failed = "Failed to find thumb after promised!\n";
const std::string invalid = "Invalid next IFD Offset specified.\n";

const ifd_entry make_entry{0x010F, fmt_ascii, 4, 0};
ifd_entry thumb_at(uint32_t offset) { return {0x0201, fmt_long, 1, offset}; }
const ifd_entry thumb_length{0x0202, fmt_long, 1, 10};

struct search_case {
  const char *name;
  bool intel;
  std::string block;
  uint32_t thumb_size;
  bool found;
  uint32_t offset;
  std::vector<std::string> logs;
};

// IFD 0 at 8 holds one entry and points to IFD 1 at 26, right behind it.
std::string chain(bool intel, std::vector<ifd_entry> ifd0, uint32_t next0, std::vector<ifd_entry> ifd1, uint32_t next1) {
  return exif_payload(intel, 8, 100, {{8, ifd0, next0}, {26 + 12 * static_cast<uint32_t>(ifd0.size() - 1), ifd1, next1}});
}

std::vector<search_case> search_cases() {
  std::vector<search_case> cases = {
      {"thumb in IFD 1, Motorola", false, chain(false, {make_entry}, 26, {thumb_at(60), thumb_length}, 0), 10, true, 60, {}},
      {"thumb in IFD 1, Intel", true, chain(true, {make_entry}, 26, {thumb_at(60), thumb_length}, 0), 10, true, 60, {}},
      {"IFD 0 points to itself", false, exif_payload(false, 8, 100, {{8, {make_entry}, 8}}), 10, false, 0, {invalid, failed}},
      {"IFD 1 points back to IFD 0", true, chain(true, {make_entry}, 26, {make_entry}, 8), 10, false, 0, {invalid, failed}},
      {"zero thumb entry, real one in IFD 1", false, chain(false, {thumb_at(0)}, 26, {thumb_at(60)}, 0), 10, true, 60, {}},
      {"zero thumb entry, chain ends", true, exif_payload(true, 8, 100, {{8, {thumb_at(0)}, 0}}), 10, false, 0, {invalid, failed}},
      {"IFD 0 beyond the block", true, exif_payload(true, 500, 100, {}), 10, false, 0, {failed}},
      {"IFD 0 offset near 2^32", true, exif_payload(true, 0xFFFFFFF8u, 100, {}), 10, false, 0, {failed}},
      {"thumbnail would end past the block", false, exif_payload(false, 8, 100, {{8, {thumb_at(91)}, 0}}), 10, false, 0, {failed}},
      {"thumb size near 2^32", false, exif_payload(false, 8, 100, {{8, {thumb_at(60)}, 0}}), 0xFFFFFFFFu, false, 0, {failed}},
      {"block shorter than a TIFF header", true, std::string("Exif\0\0II*\0", 10), 10, false, 0, {failed}},
  };
  // IFD 0 announces 50 entries in a block that holds 7.
  std::string past = exif_payload(true, 8, 100, {{8, {make_entry}, 0}});
  put_16(past, true, 6 + 8, 50);
  cases.push_back({"entries run past the block", true, past, 10, false, 0, {failed}});
  // One entry fits, but the block ends two bytes into the next-IFD field.
  std::string cut = exif_payload(true, 8, 24, {});
  put_16(cut, true, 6 + 8, 1);
  put_16(cut, true, 6 + 10, 0x010F);
  cases.push_back({"next-IFD field cut by the block's end", true, cut, 10, false, 0, {failed}});
  return cases;
}

} // namespace

TEST(ExifThumbnailSearch, FollowsTheChainWithinTheBlock) {
  for (const search_case &c : search_cases()) {
    // An exactly sized heap copy, so any read past the end trips the sanitizer.
    std::vector<unsigned char> block(c.block.begin(), c.block.end());
    log_capture logs;
    uint32_t offset = 0;
    bool found = exif_find_thumbnail(block.data(), block.size(), c.intel ? EXIF_BYTE_ORDER_INTEL : EXIF_BYTE_ORDER_MOTOROLA,
                                     c.thumb_size, &offset);
    EXPECT_EQ(found, c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(offset, c.offset) << c.name;
    }
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

// The thumbnail search over an EXIF APP1 payload: libexif tells whether a
// block carries a thumbnail and how long it is, but not where it lies, so the
// IFD chain is followed here to the entry that holds the thumbnail's offset.
#include "base/byte_readers.h"
#include "base/log.h"
#include "formats/image/exif_internal.h"

namespace {

// The TIFF header follows the six bytes of the "Exif\0\0" identifier; every
// offset in the block counts from it.
constexpr uint64_t tiff_start = 6;
// Offset of the 32-bit offset of IFD 0 inside the payload.
constexpr uint64_t ifd0_field = 10;
// An IFD entry: tag 2 bytes, format 2, component count 4, value 4.
constexpr uint64_t entry_size = 12;
// Tag of the entry whose value is the thumbnail's offset (its length is 0x0202).
constexpr uint16_t thumb_offset_tag = 0x0201;

bool fail_search() {
  log_error("Failed to find thumb after promised!\n");
  return false;
}

} // namespace

uint16_t read_16_local(ExifByteOrder order, const unsigned char *p) {
  return order == EXIF_BYTE_ORDER_INTEL ? read_16_flip(p) : read_16(p);
}

uint32_t read_32_local(ExifByteOrder order, const unsigned char *p) {
  return order == EXIF_BYTE_ORDER_INTEL ? read_32_flip(p) : read_32(p);
}

bool exif_find_thumbnail(const unsigned char *block, size_t size, ExifByteOrder order, uint32_t thumb_size,
                         uint32_t *offset) {
  if (size < exif_min_block)
    return fail_search();
  // All arithmetic in 64 bits: offsets are any 32-bit value the file holds.
  uint64_t off = read_32_local(order, block + ifd0_field);
  for (;;) {
    // The IFD's entry count and one entry must lie in the block.
    if (size <= off + entry_size)
      return fail_search();
    uint64_t ifd = tiff_start + off;
    uint16_t count = read_16_local(order, block + ifd);
    uint64_t p = ifd + 2;
    bool found = false;
    // An entry is looked at only while the byte after it is still in the block.
    for (uint16_t i = 0; i < count && p + entry_size < size; ++i, p += entry_size) {
      if (read_16_local(order, block + p) == thumb_offset_tag) {
        found = true;
        break;
      }
    }
    if (found) {
      uint32_t value = read_32_local(order, block + p + 8);
      if (value != 0) {
        // libexif only reports a thumbnail that lies inside the block; an
        // offset that puts it elsewhere cannot be the one it loaded.
        if (tiff_start + value + thumb_size > size)
          return fail_search();
        *offset = value;
        return true;
      }
      // A zero offset names no thumbnail: go on along the chain.
    }
    // The next IFD's offset follows the IFD's last entry; an IFD whose entries
    // run past the block has no readable successor.
    uint64_t next_field = ifd + 2 + entry_size * count;
    if (next_field + 4 > size)
      return fail_search();
    uint64_t next = read_32_local(order, block + next_field);
    // The chain must go strictly forward, so a loop of IFDs cannot trap the
    // search; 0, the end of the chain, is caught here too.
    if (next <= off) {
      log_error("Invalid next IFD Offset specified.\n");
      return fail_search();
    }
    off = next;
  }
}

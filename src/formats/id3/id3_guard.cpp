// Walks the frame headers of a tag the way the library will, before the
// library sees it, and refuses tags whose frames would make it allocate
// without bound.
#include "formats/id3/id3_internal.h"

#include "base/byte_readers.h"
#include "base/log.h"
#include "formats/id3/id3.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned char tag_flag_unsynchronisation = 0x80;
constexpr unsigned char tag_flag_extended_header = 0x40;

// Frame format flags (second flag byte) that put fields before the data.
constexpr unsigned char v23_compression = 0x80;
constexpr unsigned char v24_grouping = 0x40;
constexpr unsigned char v24_compression = 0x08;
constexpr unsigned char v24_encryption = 0x04;
constexpr unsigned char v24_data_length = 0x01;

void log_refused() { log_error("Tag declares a frame too large to decompress, not parsed!\n"); }

// `read(offset, out, n)` fills `out` with n bytes of the tag from `offset`
// (header included) or returns false. `end` is the tag length.
template <typename Read> bool frames_are_safe(Read read, unsigned version, unsigned char flags, uint64_t end) {
  if (version < 3 || version > 4)
    return true; // version 2.2 frames carry no flags; others are rejected
  uint64_t p = 10;
  if (flags & tag_flag_extended_header) {
    unsigned char size[4];
    if (!read(10, size, 4))
      return true;
    p = version == 4 ? 10 + uint64_t{sync_32(size)} : 14 + uint64_t{read_32(size)};
  }
  while (p + 10 <= end) {
    unsigned char header[10];
    if (!read(p, header, 10) || header[0] == 0) // padding ends the frames
      return true;
    uint64_t size = version == 4 ? sync_32(header + 4) : read_32(header + 4);
    uint64_t data = p + 10;
    if (size > end - data)
      return true; // the library rejects the tag here
    unsigned char format = header[9];
    uint64_t declared = 0;
    unsigned char field[4];
    if (version == 3 && (format & v23_compression)) {
      if (size >= 4 && read(data, field, 4))
        declared = read_32(field);
    } else if (version == 4 && (format & v24_compression) && (format & v24_data_length)) {
      uint64_t at = data + ((format & v24_grouping) ? 1 : 0) + ((format & v24_encryption) ? 1 : 0);
      if (at + 4 <= data + size && read(at, field, 4))
        declared = sync_32(field);
    }
    if (declared > id3_max_decompressed_frame) {
      log_refused();
      return false;
    }
    p = data + size;
  }
  return true;
}

} // namespace

bool id3_tag_is_safe(const unsigned char *tag, size_t length) {
  if (length < 10)
    return true;
  unsigned version = tag[3];
  unsigned char flags = tag[5];
  std::vector<unsigned char> copy;
  if ((flags & tag_flag_unsynchronisation) && version < 4) {
    copy = id3_resynchronised(tag, length);
    tag = copy.data();
    length = copy.size();
  }
  auto read = [tag, length](uint64_t offset, unsigned char *out, size_t n) {
    if (offset > length || n > length - offset)
      return false;
    memcpy(out, tag + offset, n);
    return true;
  };
  return frames_are_safe(read, version, flags, length);
}

bool id3_file_is_safe(int fd) {
  unsigned char header[10];
  if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) || memcmp(header, "ID3", 3) != 0)
    return true;
  unsigned version = header[3];
  if ((header[5] & tag_flag_unsynchronisation) && version == 3) {
    log_error("Unsynchronised tag too large to check, not parsed!\n");
    return false;
  }
  auto read = [fd](uint64_t offset, unsigned char *out, size_t n) {
    return pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  return frames_are_safe(read, version, header[5], 10 + uint64_t{sync_32(header + 6)});
}

std::vector<unsigned char> id3_resynchronised(const unsigned char *tag, size_t length) {
  std::vector<unsigned char> out(tag, tag + (length < 10 ? length : 10));
  for (size_t i = out.size(); i < length; ++i) {
    out.push_back(tag[i]);
    if (tag[i] == 0xFF && i + 1 < length && tag[i + 1] == 0)
      ++i;
  }
  return out;
}

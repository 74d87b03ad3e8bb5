// Walks the frame headers of a tag the way the library will, before the
// library sees it, and refuses tags whose frames would make it allocate
// without bound.
#include "formats/id3/id3_internal.h"

#include "base/byte_readers.h"
#include "base/log.h"
#include "formats/id3/id3.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  id3_resynced copy;
  if ((flags & tag_flag_unsynchronisation) && version == 3) {
    copy = id3_resynchronise(tag, length, 10);
    tag = copy.bytes.data();
    length = copy.bytes.size();
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
  uint64_t end = 10 + uint64_t{sync_32(header + 6)};
  // Version 2.3 frame sizes count the frame data with its unsynchronisation
  // undone, so such a tag cannot be walked in place: it is read whole (as the
  // library will read it) and checked in memory.
  if ((header[5] & tag_flag_unsynchronisation) && version == 3) {
    size_t length = 0;
    id3_bytes tag = id3_read_tag_start(fd, end, &length);
    if (!tag)
      return false;
    // Resynchronised in place and marked so, since a copy of a large tag
    // could exhaust the worker's memory.
    length = id3_resynchronise_in_place(tag.get(), length, 10);
    tag.get()[5] &= static_cast<unsigned char>(~tag_flag_unsynchronisation);
    return id3_tag_is_safe(tag.get(), length);
  }
  auto read = [fd](uint64_t offset, unsigned char *out, size_t n) {
    return pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  return frames_are_safe(read, version, header[5], end);
}

id3_bytes id3_read_tag_start(int fd, uint64_t end, size_t *length) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0)
    return nullptr;
  *length = static_cast<size_t>(std::min<uint64_t>(end, static_cast<uint64_t>(st.st_size)));
  id3_bytes tag(static_cast<unsigned char *>(g_try_malloc(*length)));
  if (!tag || pread(fd, tag.get(), *length, 0) != static_cast<ssize_t>(*length)) {
    log_error("Couldn't read the whole tag, not parsed!\n");
    return nullptr;
  }
  return tag;
}

id3_resynced id3_resynchronise(const unsigned char *data, size_t length, size_t keep) {
  id3_resynced out;
  keep = std::min(keep, length);
  out.bytes.assign(data, data + keep);
  out.bytes.reserve(length);
  for (size_t i = keep; i < length; ++i) {
    out.bytes.push_back(data[i]);
    if (data[i] == 0xFF && i + 1 < length && data[i + 1] == 0) {
      ++i;
      out.removed_before.push_back(out.bytes.size());
    }
  }
  return out;
}

size_t id3_resynchronise_in_place(unsigned char *data, size_t length, size_t keep) {
  size_t out = std::min(keep, length);
  for (size_t i = out; i < length; ++i) {
    data[out++] = data[i];
    if (data[i] == 0xFF && i + 1 < length && data[i + 1] == 0)
      ++i;
  }
  return out;
}

bool id3_stored_offset(const id3_resynced &copy, size_t begin, size_t end, uint64_t *stored) {
  const std::vector<size_t> &removed = copy.removed_before;
  // Zeros removed at or before `begin` shift the whole range; one removed
  // before any later byte of the range splits it.
  auto shift = std::upper_bound(removed.begin(), removed.end(), begin);
  if (shift != removed.end() && *shift < end)
    return false;
  *stored = begin + static_cast<uint64_t>(shift - removed.begin());
  return true;
}

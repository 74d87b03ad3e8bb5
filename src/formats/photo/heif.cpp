// HEIF and AVIF photos: the EXIF block is an item of the "meta" box. Its
// item type is found in the item information box ("iinf"/"infe"), its place
// in the file in the item location box ("iloc"); the item begins with the
// offset of the TIFF header within it. The picture's size is the image
// spatial extent property ("ispe") of the primary item.
#include "formats/photo/photo.h"
#include "formats/photo/photo_io.h"

#include "base/byte_readers.h"
#include "base/log.h"
#include "formats/image/exif_internal.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t code(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[3]));
}

// Top-level boxes looked at for "meta": it follows the file type box in
// every real file, so a few suffice; the bound keeps crafted files cheap.
constexpr unsigned max_top_boxes = 64;
// The "meta" box is read whole up to this size. A phone's, with the tiles
// of a grid image and their properties, takes a few kilobytes.
constexpr size_t max_meta_box = 4 * 1024 * 1024;
constexpr size_t exif_offset_field = 4; // the item's first field: TIFF header offset

struct box {
  uint32_t type = 0;
  const unsigned char *body = nullptr;
  size_t size = 0;
};

// The box at `*at` of the bytes: 32-bit size (1: a 64-bit size follows the
// type; 0: the box runs to the end), type, body. False when it does not
// fit.
bool next_box(const unsigned char *bytes, size_t size, size_t *at, box *out) {
  if (size - *at < 8)
    return false;
  const unsigned char *p = bytes + *at;
  uint64_t length = read_32(p);
  size_t header = 8;
  if (length == 1) {
    if (size - *at < 16)
      return false;
    length = static_cast<uint64_t>(read_32(p + 8)) << 32 | read_32(p + 12);
    header = 16;
  } else if (length == 0) {
    length = size - *at;
  }
  if (length < header || length > size - *at)
    return false;
  out->type = read_32(p + 4);
  out->body = p + header;
  out->size = static_cast<size_t>(length) - header;
  *at += static_cast<size_t>(length);
  return true;
}

// Big-endian fields of 0 to 8 bytes read in turn; a read past the end
// yields 0 and leaves `ok` false.
struct cursor {
  const unsigned char *bytes;
  size_t size;
  size_t at = 0;
  bool ok = true;
  uint64_t take(size_t n) {
    if (!ok || size - at < n) {
      ok = false;
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i)
      value = value << 8 | bytes[at + i];
    at += n;
    return value;
  }
};

// The id of the item whose type is "Exif".
bool find_exif_item(const box &iinf, uint32_t *id) {
  cursor c{iinf.body, iinf.size};
  const uint64_t version = c.take(1);
  c.take(3);
  uint64_t count = c.take(version == 0 ? 2 : 4);
  size_t at = c.at;
  box infe;
  for (uint64_t i = 0; c.ok && i < count && next_box(iinf.body, iinf.size, &at, &infe); ++i) {
    cursor e{infe.body, infe.size};
    const uint64_t entry_version = e.take(1);
    e.take(3);
    if (infe.type != code("infe") || entry_version < 2)
      continue; // the older entries carry no item type
    uint64_t item = e.take(entry_version == 2 ? 2 : 4);
    e.take(2); // protection index
    if (e.take(4) == code("Exif") && e.ok) {
      *id = static_cast<uint32_t>(item);
      return true;
    }
  }
  return false;
}

// The file extent of item `id` in the item location box.
bool locate_item(const box &iloc, uint32_t id, uint64_t *offset, uint64_t *length) {
  cursor c{iloc.body, iloc.size};
  const uint64_t version = c.take(1);
  c.take(3);
  if (version > 2) {
    log_error("Heif iloc version unknown!\n");
    return false;
  }
  const uint64_t sizes = c.take(1);
  const uint64_t more = c.take(1);
  const size_t offset_size = sizes >> 4, length_size = sizes & 0x0F, base_size = more >> 4;
  const size_t index_size = version >= 1 ? more & 0x0F : 0;
  const size_t extent_stride = index_size + offset_size + length_size;
  const uint64_t count = c.take(version < 2 ? 2 : 4);
  for (uint64_t i = 0; c.ok && i < count; ++i) {
    const uint64_t item = c.take(version < 2 ? 2 : 4);
    const uint64_t method = version >= 1 ? c.take(2) & 0x0F : 0;
    c.take(2); // data reference: 0, this file
    const uint64_t base = c.take(base_size);
    const uint64_t extents = c.take(2);
    uint64_t first_offset = 0, first_length = 0;
    for (uint64_t e = 0; c.ok && extent_stride > 0 && e < extents; ++e) {
      c.take(index_size);
      uint64_t extent_offset = c.take(offset_size);
      uint64_t extent_length = c.take(length_size);
      if (e == 0) {
        first_offset = extent_offset;
        first_length = extent_length;
      }
    }
    if (!c.ok || item != id)
      continue;
    // Only an item stored as-is in one piece of the file can be read here;
    // a zero length would mean "to the end of the file".
    if (method != 0 || extents != 1 || first_length == 0 || base > UINT64_MAX - first_offset) {
      log_error("Heif exif item not stored as one extent of the file!\n");
      return false;
    }
    *offset = base + first_offset;
    *length = first_length;
    return true;
  }
  log_error("Heif exif item has no location!\n");
  return false;
}

// The children of `parent`'s body, from `skip` bytes in.
std::vector<box> children(const box &parent, size_t skip) {
  std::vector<box> found;
  box child;
  size_t at = skip;
  while (parent.size >= skip && next_box(parent.body, parent.size, &at, &child))
    found.push_back(child);
  return found;
}

// The "ispe" property associated with item `id`: the item property
// association box ("ipma") lists each item's property indexes (from 1)
// into the property container ("ipco").
bool item_extent(const box &iprp, uint32_t id, int64_t *width, int64_t *height) {
  std::vector<box> properties;
  box ipma;
  for (const box &child : children(iprp, 0)) {
    if (child.type == code("ipco"))
      properties = children(child, 0);
    else if (child.type == code("ipma"))
      ipma = child;
  }
  cursor c{ipma.body, ipma.size};
  const uint64_t version = c.take(1);
  const bool wide_index = c.take(3) & 1;
  const uint64_t count = c.take(4);
  for (uint64_t i = 0; c.ok && i < count; ++i) {
    const uint64_t item = c.take(version < 1 ? 2 : 4);
    const uint64_t associations = c.take(1);
    for (uint64_t a = 0; c.ok && a < associations; ++a) {
      const uint64_t index = c.take(wide_index ? 2 : 1) & (wide_index ? 0x7FFF : 0x7F);
      if (item != id || index == 0 || index > properties.size() || properties[index - 1].type != code("ispe"))
        continue;
      // Version and flags, then 32-bit width and height.
      cursor e{properties[index - 1].body, properties[index - 1].size};
      e.take(4);
      *width = static_cast<int64_t>(e.take(4));
      *height = static_cast<int64_t>(e.take(4));
      return e.ok;
    }
  }
  return false;
}

// The size of the primary item ("pitm") from its "ispe" property.
bool primary_size(const unsigned char *meta, size_t size, image_size *out) {
  box pitm, iprp, child;
  size_t at = 0;
  while (next_box(meta, size, &at, &child)) {
    if (child.type == code("pitm"))
      pitm = child;
    else if (child.type == code("iprp"))
      iprp = child;
  }
  cursor c{pitm.body, pitm.size};
  const uint64_t version = c.take(1);
  c.take(3);
  const uint64_t id = c.take(version == 0 ? 2 : 4);
  return c.ok && iprp.body != nullptr && item_extent(iprp, static_cast<uint32_t>(id), &out->width, &out->height);
}

// Reads the payload of the top-level "meta" box, at most `max_meta_box`.
bool read_meta(FILE *file, uint64_t file_size, std::vector<unsigned char> *meta) {
  uint64_t at = 0;
  for (unsigned n = 0; n < max_top_boxes && at + 8 <= file_size; ++n) {
    unsigned char header[16];
    if (!read_at(file, at, header, 8))
      return false;
    uint64_t size = read_32(header);
    uint64_t header_size = 8;
    if (size == 1) {
      if (!read_at(file, at + 8, header + 8, 8))
        return false;
      size = static_cast<uint64_t>(read_32(header + 8)) << 32 | read_32(header + 12);
      header_size = 16;
    } else if (size == 0) {
      size = file_size - at;
    }
    if (size < header_size || size > file_size - at)
      break;
    if (read_32(header + 4) == code("meta")) {
      meta->resize(static_cast<size_t>(std::min<uint64_t>(size - header_size, max_meta_box)));
      return read_at(file, at + header_size, meta->data(), meta->size());
    }
    at += size;
  }
  log_error("Heif file has no meta box!\n");
  return false;
}

} // namespace

bool heif_exif_location(const unsigned char *meta, size_t size, uint64_t *offset, uint64_t *length) {
  box iinf, iloc, child;
  size_t at = 0;
  while (next_box(meta, size, &at, &child)) {
    if (child.type == code("iinf"))
      iinf = child;
    else if (child.type == code("iloc"))
      iloc = child;
  }
  uint32_t id = 0;
  if (iinf.body == nullptr || !find_exif_item(iinf, &id))
    return false; // a photo without EXIF data: nothing to say
  if (iloc.body == nullptr) {
    log_error("Heif exif item has no location!\n");
    return false;
  }
  return locate_item(iloc, id, offset, length);
}

void parse_heif(const source_file &source, json_object *root, const char *) {
  offset_reader reader;
  if (!open_offset_reader(source, &reader))
    return;
  FILE *in = reader.file;
  const uint64_t file_size = reader.size;
  std::vector<unsigned char> meta;
  // "meta" is a full box: version and flags come before its children.
  if (!read_meta(in, file_size, &meta) || meta.size() < 4)
    return;
  image_size size{};
  if (primary_size(meta.data() + 4, meta.size() - 4, &size))
    add_image_size(root, size);
  uint64_t offset = 0, length = 0;
  if (!heif_exif_location(meta.data() + 4, meta.size() - 4, &offset, &length))
    return;
  if (offset > file_size || length > file_size - offset) {
    log_error("Heif exif item lies outside the file!\n");
    return;
  }
  std::vector<unsigned char> item(static_cast<size_t>(std::min<uint64_t>(length, max_exif_block)));
  if (item.size() < exif_offset_field || !read_at(in, offset, item.data(), item.size())) {
    log_error("Heif exif item too short!\n");
    return;
  }
  uint64_t tiff = exif_offset_field + static_cast<uint64_t>(read_32(item.data()));
  if (tiff >= item.size()) {
    log_error("Heif exif item too short!\n");
    return;
  }
  add_exif_block(root, item.data() + tiff, item.size() - static_cast<size_t>(tiff), offset + tiff);
}

// Locates the image bytes of attached pictures in the raw tag, so that a
// record can say where a cover lies in the file without copying it. The
// library's parse does not keep positions, so the frame headers are walked by
// hand over the same buffer the library parsed.
#include "formats/id3/id3.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3_internal.h"

#include <glib.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t apic_id = 0x41504943; // "APIC"
constexpr uint32_t pic_id = 0x504943;    // "PIC", the version 2.2 picture frame

constexpr int tag_flag_unsynchronisation = 0x80;
constexpr int tag_flag_extended_header = 0x40;

// Frame format flags (second flag byte) of version 2.3 and 2.4 frames.
constexpr unsigned v23_compression = 0x80;
constexpr unsigned v23_encryption = 0x40;
constexpr unsigned v23_grouping = 0x20;
constexpr unsigned v24_grouping = 0x40;
constexpr unsigned v24_compression = 0x08;
constexpr unsigned v24_encryption = 0x04;
constexpr unsigned v24_unsynchronisation = 0x02;
constexpr unsigned v24_data_length = 0x01;

struct tag_layout {
  unsigned version;    // major version byte of the tag header
  size_t frame_header; // 6 bytes in version 2.2, 10 from 2.3 on
  bool locate;         // false when the bytes scanned are not the file's
};

struct frame_header {
  uint32_t id;
  uint64_t size;
  unsigned format_flags;
};

frame_header read_frame_header(const unsigned char *p, const tag_layout &layout) {
  if (layout.version == 2)
    return {static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]), static_cast<uint64_t>(p[3] << 16 | p[4] << 8 | p[5]),
            0};
  // Version 2.4 sizes are synchsafe, version 2.3 sizes plain big-endian.
  return {read_32(p), layout.version == 4 ? sync_32(p + 4) : read_32(p + 4), p[9]};
}

// Why a frame's payload is not held in the file as-is (so no offset in the
// file can point at its image), or null when it is.
const char *stored_altered(unsigned flags, unsigned version) {
  if (version == 4) {
    if (flags & (v24_compression | v24_encryption))
      return "Picture frame is compressed or encrypted, no location given!\n";
    if (flags & v24_unsynchronisation)
      return "Picture frame is unsynchronised, no location given!\n";
    if (flags & v24_data_length)
      return "Picture frame has a data length indicator, no location given!\n";
  } else if (version == 3 && (flags & (v23_compression | v23_encryption))) {
    return "Picture frame is compressed or encrypted, no location given!\n";
  }
  return nullptr;
}

// A grouping identity byte comes before the payload proper.
bool has_group_byte(unsigned flags, unsigned version) {
  return (version == 4 && (flags & v24_grouping)) || (version == 3 && (flags & v23_grouping));
}

// The parts of a picture payload, as indices into it.
struct picture_parts {
  unsigned type;
  size_t description; // first byte of the description
  size_t terminator;  // the description's terminator
  size_t start;       // first byte of the image
};

// Takes a picture payload apart: encoding byte, MIME text ended by a zero
// byte (in version 2.2 a fixed three-letter image format), picture type byte,
// description ended by its terminator, image. The image must be at least two
// bytes long. Logs and returns false when a part cannot be found.
bool split_picture(const unsigned char *data, size_t size, bool fixed_format, picture_parts *parts) {
  size_t m = 3; // index of the last byte before the picture type
  if (!fixed_format) {
    const void *zero = size > 1 ? memchr(data + 1, 0, size - 1) : nullptr;
    if (zero == nullptr) {
      log_error("Never found end of mime in frame!\n");
      return false;
    }
    m = static_cast<size_t>(static_cast<const unsigned char *>(zero) - data);
  }
  if (m + 2 >= size) {
    log_error("Never found end of mime in frame!\n");
    return false;
  }
  parts->type = data[m + 1];
  parts->description = m + 2;
  size_t k = m + 2;
  if (data[0] == 0 || data[0] == 3) {
    // One zero byte ends Latin-1 and UTF-8 text.
    const void *zero = k + 2 < size ? memchr(data + k, 0, size - 2 - k) : nullptr;
    if (zero != nullptr) {
      parts->terminator = static_cast<size_t>(static_cast<const unsigned char *>(zero) - data);
      parts->start = parts->terminator + 1;
      return true;
    }
  } else {
    // Two zero bytes on a character boundary end UTF-16 text; a zero high
    // byte of one character and a zero low byte of the next do not.
    while (k + 2 < size && !(data[k] == 0 && data[k + 1] == 0))
      k += 2;
    if (k + 3 < size) {
      parts->terminator = k;
      parts->start = k + 2;
      return true;
    }
  }
  log_error("Never found end of pic desc in frame!\n");
  return false;
}

json_object *find_picture_of_type(json_object *pictures, unsigned type) {
  if (pictures == nullptr || !json_object_is_type(pictures, json_type_array))
    return nullptr;
  size_t count = json_object_array_length(pictures);
  for (size_t i = 0; i < count; ++i) {
    json_object *picture = json_object_array_get_idx(pictures, i);
    json_object *member = nullptr;
    if (json_object_object_get_ex(picture, "type", &member) && json_object_get_int(member) == static_cast<int>(type))
      return picture;
  }
  return nullptr;
}

void add_location(json_object *picture, uint64_t offset, uint64_t size) {
  add_field(picture, "thumbOffset", static_cast<int>(offset));
  add_field(picture, "thumbSize", static_cast<int>(size));
}

// The MIME type a version 2.2 image format stands for.
json_object *mime_of_format(const unsigned char *format) {
  char text[4] = {static_cast<char>(format[0]), static_cast<char>(format[1]), static_cast<char>(format[2]), 0};
  if (g_ascii_strcasecmp(text, "JPG") == 0)
    return build_utf8_string_child("image/jpeg");
  if (strcmp(text, "-->") == 0) // the data is a link to the image
    return build_utf8_string_child(text);
  g_autofree char *lower = g_ascii_strdown(text, -1);
  g_autofree char *mime = g_strconcat("image/", lower, nullptr);
  return build_utf8_string_child(mime);
}

// The description of a version 2.2 picture, in the frame's text encoding:
// 0 Latin-1, 1 UTF-16 after a byte order mark, 2 UTF-16 big-endian, 3 UTF-8.
// Decoded by hand rather than through iconv, which loads code the confined
// worker may not map.
json_object *description_of(unsigned char encoding, const unsigned char *text, size_t length) {
  g_autofree char *utf8 = nullptr;
  if (encoding == 0) {
    GString *built = g_string_sized_new(2 * length);
    for (size_t i = 0; i < length; ++i)
      g_string_append_unichar(built, text[i]);
    utf8 = g_string_free(built, FALSE);
  } else if (encoding == 3) {
    utf8 = g_strndup(reinterpret_cast<const char *>(text), length); // invalid bytes are escaped below
  } else if (encoding <= 2) {
    bool little_endian = false;
    size_t i = 0;
    if (encoding == 1 && length >= 2 &&
        ((text[0] == 0xFF && text[1] == 0xFE) || (text[0] == 0xFE && text[1] == 0xFF))) {
      little_endian = text[0] == 0xFF;
      i = 2;
    }
    std::vector<gunichar2> units;
    for (; i + 1 < length; i += 2)
      units.push_back(static_cast<gunichar2>(little_endian ? text[i] | text[i + 1] << 8 : text[i] << 8 | text[i + 1]));
    utf8 = units.empty() ? g_strdup("")
                         : g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, nullptr, nullptr);
  }
  return utf8 != nullptr ? build_utf8_string_child(utf8) : nullptr;
}

// A version 2.2 picture object, made from the frame's own bytes.
bool add_v22_picture(json_object *pictures, const unsigned char *data, const picture_parts &parts,
                     const tag_layout &layout, uint64_t offset, uint64_t size) {
  json_ptr picture(json_object_new_object());
  if (!json_is_created(picture.get())) {
    log_error("Failed to allocate pic node!\n");
    return false;
  }
  add_field(picture.get(), "type", static_cast<int>(parts.type));
  json_object *text = description_of(data[0], data + parts.description, parts.terminator - parts.description);
  if (json_is_created(text))
    json_object_object_add(picture.get(), "description", text);
  else
    log_error("Failed to convert picture description info!\n");
  json_object *mime = mime_of_format(data + 1);
  if (json_is_created(mime))
    json_object_object_add(picture.get(), "mime", mime);
  if (layout.locate)
    add_location(picture.get(), offset + parts.start, size - parts.start);
  if (pictures != nullptr && json_object_is_type(pictures, json_type_array) &&
      json_object_array_add(pictures, picture.get()) == 0)
    picture.release();
  return true;
}

// Locates one picture frame whose data is at `offset` and `size` long.
// False ends the scan.
bool locate_picture(const unsigned char *buffer, size_t length, const tag_layout &layout, const frame_header &frame,
                    uint64_t offset, json_object *id3) {
  json_object *pictures = build_child_array_or_return(id3, "APIC");
  // Where the image is not stored as-is the scan also ends: such a frame's
  // picture type cannot be read, so a later frame could be matched to its
  // picture object.
  if (const char *why = stored_altered(frame.format_flags, layout.version)) {
    log_error("%s", why);
    return false;
  }
  uint64_t size = frame.size;
  if (offset + size > length) {
    log_error("Picture frame runs past the end of the tag, no location given!\n");
    return false;
  }
  if (has_group_byte(frame.format_flags, layout.version) && size > 0) {
    ++offset;
    --size;
  }
  const unsigned char *data = buffer + offset;
  picture_parts parts;
  if (!split_picture(data, size, layout.version == 2, &parts))
    return false;
  if (layout.version == 2)
    return add_v22_picture(pictures, data, parts, layout, offset, size);

  json_object *picture = find_picture_of_type(pictures, parts.type);
  if (picture == nullptr) {
    log_error("Couldn't match apic child in json!\n");
    return false;
  }
  if (json_object_object_get_ex(picture, "thumbOffset", nullptr)) {
    log_error("This file has 2 covrs for the same type!\n");
    return false;
  }
  add_location(picture, offset + parts.start, size - parts.start);
  return true;
}

void walk_frames(const unsigned char *buffer, size_t length, const tag_layout &layout, uint64_t p, json_object *id3) {
  const uint32_t picture_id = layout.version == 2 ? pic_id : apic_id;
  while (p + layout.frame_header < length) {
    frame_header frame = read_frame_header(buffer + p, layout);
    uint64_t data = p + layout.frame_header;
    if (frame.id == picture_id && !locate_picture(buffer, length, layout, frame, data, id3))
      return;
    // Padding reads as id 0 and size 0 and is passed over a header at a time.
    p = data + frame.size;
  }
}

} // namespace

uint32_t sync_32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0] & 0x7F) << 21 | static_cast<uint32_t>(p[1] & 0x7F) << 14 |
         static_cast<uint32_t>(p[2] & 0x7F) << 7 | static_cast<uint32_t>(p[3] & 0x7F);
}

void locate_apic_data(const unsigned char *buffer, size_t length, int tag_flags, json_object *id3) {
  if (length < 10)
    return;
  tag_layout layout{buffer[3], buffer[3] == 2 ? size_t{6} : size_t{10}, true};
  if (layout.version == 2 && (tag_flags & tag_flag_extended_header))
    return; // in version 2.2 this flag marks a compressed tag
  // Unsynchronisation rewrites every 0xFF 0x00 pair in the stored tag, so no
  // stretch of the file holds the image as it is.
  if (tag_flags & tag_flag_unsynchronisation) {
    if (layout.version == 2) {
      // Version 2.2 picture objects are made from the frames: read them from
      // the tag as it was before unsynchronisation, without location.
      std::vector<unsigned char> tag = id3_resynchronised(buffer, length);
      layout.locate = false;
      walk_frames(tag.data(), tag.size(), layout, 10, id3);
    }
    if (json_object_object_get_ex(id3, "APIC", nullptr))
      log_error("Tag is unsynchronised, its pictures get no location!\n");
    return;
  }
  // Positions are 64-bit, so that no size read from the bytes can wrap them.
  uint64_t start = 10;
  if (tag_flags & tag_flag_extended_header) {
    if (length <= 14) {
      log_error("Buffer too small for ext header\n");
      return;
    }
    // A version 2.4 extended header counts its own size field, a version 2.3
    // one does not.
    start = layout.version == 4 ? 10 + uint64_t{sync_32(buffer + 10)} : 14 + uint64_t{read_32(buffer + 10)};
  }
  walk_frames(buffer, length, layout, start, id3);
}

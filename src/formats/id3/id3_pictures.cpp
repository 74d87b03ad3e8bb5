// Locates the image bytes of attached pictures in the raw tag, so that a
// record can say where a cover lies in the file without copying it. The
// library's parse does not keep positions, so the frame headers are walked by
// hand over the same buffer the library parsed, and a picture is located only
// where the file holds exactly the image the library decoded.
#include "formats/id3/id3.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3_internal.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr uint32_t apic_id = 0x41504943; // "APIC"
constexpr uint32_t pic_id = 0x504943;    // "PIC", the version 2.2 picture frame

constexpr int tag_flag_unsynchronisation = 0x80;
constexpr int tag_flag_extended_header = 0x40; // marks compression in version 2.2

constexpr size_t v22_frame_header = 6;
constexpr size_t frame_header_size = 10;

// A version 2.2 picture read from the file needs only the fields before its
// image: encoding, format, type and description. No description a player
// shows comes near this many bytes.
constexpr size_t v22_fields_read = 65536;

struct frame_header {
  uint32_t id;
  uint64_t size;
};

frame_header read_v22_header(const unsigned char *p) {
  return {static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]), static_cast<uint64_t>(p[3] << 16 | p[4] << 8 | p[5])};
}

// Version 2.4 sizes are synchsafe, version 2.3 sizes plain big-endian.
frame_header read_header(const unsigned char *p, unsigned version) {
  return {read_32(p), version == 4 ? sync_32(p + 4) : read_32(p + 4)};
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

// A version 2.2 picture payload: encoding byte, three-letter image format,
// picture type byte, description ended by its terminator, image. One zero
// byte ends Latin-1 and UTF-8 text; two zero bytes on a character boundary
// end UTF-16 text (a zero high byte of one character and a zero low byte of
// the next do not). The index of the terminator and of the image's first
// byte, or false when the description has no terminator.
constexpr size_t v22_description = 5;
bool find_description_end(const std::vector<unsigned char> &data, size_t *terminator, size_t *image) {
  size_t size = data.size();
  if (data[0] == 0 || data[0] == 3) {
    const void *zero = memchr(data.data() + v22_description, 0, size - v22_description);
    if (zero == nullptr)
      return false;
    *terminator = static_cast<size_t>(static_cast<const unsigned char *>(zero) - data.data());
    *image = *terminator + 1;
    return true;
  }
  for (size_t k = v22_description; k + 1 < size; k += 2)
    if (data[k] == 0 && data[k + 1] == 0) {
      *terminator = k;
      *image = k + 2;
      return true;
    }
  return false;
}

// How a version 2.2 walk reads: `copy`, when given, is the tag with its
// unsynchronisation undone, which the walk's bytes are; `locate` is false
// where no location is given (the library's own reading of a large tag).
struct v22_walk {
  const id3_resynced *copy;
  bool locate;
  size_t payload_limit; // bytes of each payload read
  size_t pictures;      // picture frames to make objects of
  size_t frames;        // frames to visit at most
};

// Adds the picture object of the version 2.2 frame whose payload starts at
// `data_offset` of the walk's bytes (`whole` false when only its first bytes
// were read), and locates its image where it is stored as-is. A frame that
// cannot be read fails alone: the walk goes on.
void add_v22_picture(const std::vector<unsigned char> &data, bool whole, uint64_t data_offset, const v22_walk &walk,
                     json_object *id3) {
  json_object *pictures = build_child_array_or_return(id3, "APIC");
  if (data.size() <= v22_description) {
    log_error("Picture frame too short to read, no picture made!\n");
    return;
  }
  json_ptr picture(json_object_new_object());
  if (!json_is_created(picture.get())) {
    log_error("Failed to allocate pic node!\n");
    return;
  }
  add_field(picture.get(), "type", static_cast<int>(data[4]));
  size_t terminator = 0, image = 0;
  bool ended = find_description_end(data, &terminator, &image);
  json_object *text = ended ? description_of(data[0], data.data() + v22_description, terminator - v22_description)
                            : nullptr;
  if (json_is_created(text))
    json_object_object_add(picture.get(), "description", text);
  else
    log_error(ended ? "Failed to convert picture description info!\n" : "Never found end of pic desc in frame!\n");
  json_object *mime = mime_of_format(data.data() + 1);
  if (json_is_created(mime))
    json_object_object_add(picture.get(), "mime", mime);
  if (walk.locate && whole && ended && image < data.size()) {
    uint64_t begin = data_offset + image, end = data_offset + data.size(), offset = begin;
    if (walk.copy == nullptr || id3_stored_offset(*walk.copy, begin, end, &offset))
      add_location(picture.get(), offset, end - begin);
    else
      log_error("Picture frame does not hold its image as stored, no location given!\n");
  }
  if (pictures != nullptr && json_object_is_type(pictures, json_type_array) &&
      json_object_array_add(pictures, picture.get()) == 0)
    picture.release();
}

// Walks the frames of a version 2.2 tag that ends at `end` and makes the
// picture objects of its "PIC" frames. `read(offset, out, n)` fills `out`
// with n bytes of the tag from `offset` (header included) or returns false.
// Padding ends the frames, as it does for the library.
template <typename Read> void walk_v22(Read read, uint64_t end, const v22_walk &walk, json_object *id3) {
  uint64_t p = 10;
  for (size_t made = 0, visited = 0;
       made < walk.pictures && visited < walk.frames && p + v22_frame_header <= end; ++visited) {
    unsigned char header[v22_frame_header];
    if (!read(p, header, sizeof header) || header[0] == 0)
      return;
    frame_header frame = read_v22_header(header);
    uint64_t data = p + v22_frame_header;
    if (frame.id == pic_id) {
      ++made;
      if (frame.size > end - data) {
        log_error("Picture frame runs past the end of the tag, no picture made!\n");
        return;
      }
      std::vector<unsigned char> payload(std::min<uint64_t>(frame.size, walk.payload_limit));
      if (!read(data, payload.data(), payload.size()))
        return;
      add_v22_picture(payload, payload.size() == frame.size, data, walk, id3);
    }
    p = data + frame.size;
  }
}

// The version 2.2 walk over a tag held in memory.
void walk_v22_in_memory(const unsigned char *bytes, size_t length, const v22_walk &walk, json_object *id3) {
  auto read = [bytes, length](uint64_t offset, unsigned char *out, size_t n) {
    if (offset > length || n > length - offset)
      return false;
    if (n > 0) // an empty payload has no buffer to copy into
      memcpy(out, bytes + offset, n);
    return true;
  };
  walk_v22(read, length, walk, id3);
}

// Locates the image of one picture frame whose data lies at [data, data +
// size) of `bytes`: the image the library decoded must be the frame's last
// bytes, as they are in the file. That holds for a plain frame and for one
// whose data length indicator, grouping byte or unsynchronisation leaves the
// image unchanged; a compressed or encrypted frame, or an image into which
// unsynchronisation inserted zeros, is not located. `copy`, when given, is
// the tag with its unsynchronisation undone, which `bytes` are.
void locate_picture(const unsigned char *bytes, size_t length, const id3_resynced *copy, uint64_t data, uint64_t size,
                    const id3_picture &picture) {
  if (picture.object == nullptr)
    return;
  if (size > length - data) {
    log_error("Picture frame runs past the end of the tag, no location given!\n");
    return;
  }
  uint64_t end = data + size, begin = end - picture.length, offset = begin;
  bool held = picture.length > 0 && picture.length <= size &&
              memcmp(bytes + begin, picture.data, picture.length) == 0 &&
              (copy == nullptr || id3_stored_offset(*copy, begin, end, &offset));
  if (!held) {
    log_error("Picture frame does not hold its image as stored, no location given!\n");
    return;
  }
  add_location(picture.object, offset, picture.length);
}

// Walks version 2.3 and 2.4 frames from `p` and locates the k-th picture
// frame's image for the library's k-th picture. Every picture frame is tried,
// whatever happened to the ones before it.
void walk_frames(const unsigned char *bytes, size_t length, const id3_resynced *copy, unsigned version, uint64_t p,
                 const std::vector<id3_picture> &decoded) {
  size_t next = 0;
  while (p + frame_header_size < length) {
    frame_header frame = read_header(bytes + p, version);
    uint64_t data = p + frame_header_size;
    if (frame.id == apic_id) {
      if (next == decoded.size()) {
        log_error("Couldn't match apic child in json!\n");
        return;
      }
      locate_picture(bytes, length, copy, data, frame.size, decoded[next++]);
    }
    // Padding reads as id 0 and size 0 and is passed over a header at a time.
    p = data + frame.size;
  }
}

} // namespace

uint32_t sync_32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0] & 0x7F) << 21 | static_cast<uint32_t>(p[1] & 0x7F) << 14 |
         static_cast<uint32_t>(p[2] & 0x7F) << 7 | static_cast<uint32_t>(p[3] & 0x7F);
}

void locate_apic_data(const unsigned char *buffer, size_t length, int tag_flags, json_object *id3,
                      const std::vector<id3_picture> &decoded, size_t v22_pictures) {
  if (length < 10)
    return;
  unsigned version = buffer[3];
  bool unsynchronised = tag_flags & tag_flag_unsynchronisation;
  if (version == 2 && (tag_flags & tag_flag_extended_header))
    return; // a compressed version 2.2 tag, which the library does not read
  if (version != 2 && version != 3 && version != 4)
    return;
  // Versions 2.2 and 2.3 unsynchronise the tag as a whole and count frame
  // sizes in the bytes resynchronised: walk that copy, and trace each image
  // back to the file. Version 2.4 unsynchronises frame by frame, inside sizes
  // as stored.
  id3_resynced copy;
  const id3_resynced *map = nullptr;
  if (unsynchronised && version < 4) {
    copy = id3_resynchronise(buffer, length, 10);
    buffer = copy.bytes.data();
    length = copy.bytes.size();
    map = &copy;
  }
  if (version == 2) {
    v22_walk walk{map, true, std::numeric_limits<size_t>::max(), v22_pictures, std::numeric_limits<size_t>::max()};
    walk_v22_in_memory(buffer, length, walk, id3);
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
    start = version == 4 ? 10 + uint64_t{sync_32(buffer + 10)} : 14 + uint64_t{read_32(buffer + 10)};
  }
  walk_frames(buffer, length, map, version, start, decoded);
}

void make_v22_pictures_from_file(int fd, size_t pictures, size_t frames, json_object *id3) {
  unsigned char header[10];
  if (pictures == 0 || pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
      memcmp(header, "ID3\x02", 4) != 0 || (header[5] & tag_flag_extended_header))
    return;
  uint64_t end = 10 + uint64_t{sync_32(header + 6)};
  // An unsynchronised tag's frame sizes count the bytes resynchronised, so it
  // is read whole, as the library reads it; otherwise frame by frame, only
  // the fields before each image.
  if (header[5] & tag_flag_unsynchronisation) {
    size_t length = 0;
    id3_bytes tag = id3_read_tag_start(fd, end, &length);
    if (!tag)
      return;
    // No location is given here, so the tag is resynchronised in place:
    // a copy of a large tag could exhaust the worker's memory.
    length = id3_resynchronise_in_place(tag.get(), length, 10);
    walk_v22_in_memory(tag.get(), length, v22_walk{nullptr, false, v22_fields_read, pictures, frames}, id3);
    return;
  }
  auto read = [fd](uint64_t offset, unsigned char *out, size_t n) {
    return pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  walk_v22(read, end, v22_walk{nullptr, false, v22_fields_read, pictures, frames}, id3);
}

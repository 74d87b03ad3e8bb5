// The ID3v2 tag at the start of an MP3 file, read into memory and parsed with
// libid3tag; each frame the library delivers becomes a member of "id3".
#include "formats/id3/id3.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/id3/id3_internal.h"
#include "formats/id3/id3_tags.h"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t tag_header_size = 10;
// Tags up to this length are read whole into memory, so that the same bytes
// serve both the library's parse and the picture scan; longer ones are left to
// the library's own file reading, and their pictures get no location.
constexpr size_t max_tag_in_memory = 2097152;

using tag_ptr = std::unique_ptr<id3_tag, fn_deleter<&id3_tag_delete>>;
using byte_ptr = std::unique_ptr<unsigned char, fn_deleter<&g_free>>;

// The library's getters assert on a missing field; a frame the library built
// for an id it does not know may have fewer fields than its letter suggests.
const id3_field *field_of(const id3_frame *frame, unsigned index, enum id3_field_type type) {
  const id3_field *field = id3_frame_field(frame, index);
  return field != nullptr && field->type == type ? field : nullptr;
}

// Latin-1 text of a field, widened and converted; null when there is none.
json_object *latin1_child(const id3_field *field) {
  if (field == nullptr)
    return nullptr;
  const id3_latin1_t *text = id3_field_getlatin1(field);
  if (text == nullptr)
    return nullptr;
  id3_ucs4_t *wide = id3_latin1_ucs4duplicate(text);
  if (wide == nullptr)
    return nullptr;
  json_object *value = build_child_from_ucs(wide);
  free(wide);
  return value;
}

void add_text_frame(const id3_frame *frame, json_object *id3) {
  json_ptr strings(json_object_new_array());
  if (!json_is_created(strings.get())) {
    log_error("Failed to allocate object array!\n");
    return;
  }
  const id3_field *list = field_of(frame, 1, ID3_FIELD_TYPE_STRINGLIST);
  unsigned count = list != nullptr ? id3_field_getnstrings(list) : 0;
  for (unsigned i = 0; i < count; ++i) {
    json_object *text = build_child_from_ucs(id3_field_getstrings(list, i));
    if (text == nullptr) {
      log_error("Failed to make text entry from result!\n");
      continue;
    }
    if (json_object_array_add(strings.get(), text) != 0)
      json_object_put(text);
  }
  json_object_object_add(id3, frame->id, strings.release());
}

// A URL frame's only field is Latin-1 text.
void add_url_frame(const id3_frame *frame, json_object *id3) {
  json_object *url = latin1_child(field_of(frame, 0, ID3_FIELD_TYPE_LATIN1));
  if (url != nullptr)
    json_object_object_add(id3, frame->id, url);
}

// The picture object made for the frame (owned by the record), or null.
json_object *add_picture_frame(const id3_frame *frame, json_object *id3) {
  json_object *pictures = build_child_array_or_return(id3, "APIC");
  json_ptr picture(json_object_new_object());
  if (!json_is_created(picture.get())) {
    log_error("Failed to allocate pic node!\n");
    return nullptr;
  }
  if (const id3_field *type = field_of(frame, 2, ID3_FIELD_TYPE_INT8))
    add_field(picture.get(), "type", static_cast<int>(id3_field_getint(type)));
  const id3_field *description = field_of(frame, 3, ID3_FIELD_TYPE_STRING);
  json_object *text = build_child_from_ucs(description != nullptr ? id3_field_getstring(description) : nullptr);
  if (text != nullptr)
    json_object_object_add(picture.get(), "description", text);
  else
    log_error("Failed to convert picture description info!\n");
  if (json_object *mime = latin1_child(field_of(frame, 1, ID3_FIELD_TYPE_LATIN1)))
    json_object_object_add(picture.get(), "mime", mime);
  if (pictures != nullptr && json_object_is_type(pictures, json_type_array) &&
      json_object_array_add(pictures, picture.get()) == 0)
    return picture.release();
  return nullptr;
}

// A version 2.2 tag keeps its pictures in "PIC" frames, which the library
// renames "APIC" but reads as if the fixed three-letter image format were the
// zero-ended MIME text of later versions: type, MIME type, description and
// image all come out wrong. Such frames are counted and their picture objects
// made from the raw bytes instead.
bool is_v22_picture(const id3_frame *frame, bool v22) { return v22 && strcmp(frame->id, "APIC") == 0; }

// Maps every frame of `tag` into `id3` and gives, in tag order, each picture
// frame's object with the image the library decoded. Returns how many
// version 2.2 picture frames were left to the raw bytes.
size_t map_frames(const id3_tag *tag, json_object *id3, bool v22, std::vector<id3_picture> *decoded) {
  size_t v22_pictures = 0;
  for (unsigned i = 0; i < tag->nframes; ++i) {
    id3_frame *frame = tag->frames[i];
    if (is_v22_picture(frame, v22)) {
      ++v22_pictures;
    } else if (strcmp(frame->id, "APIC") == 0) {
      json_object *object = add_picture_frame(frame, id3);
      const id3_field *image = field_of(frame, 4, ID3_FIELD_TYPE_BINARYDATA);
      id3_length_t length = 0;
      const id3_byte_t *data = image != nullptr ? id3_field_getbinarydata(image, &length) : nullptr;
      decoded->push_back({object, data, data != nullptr ? static_cast<size_t>(length) : 0});
    } else {
      handle_id3_frame(frame, id3);
    }
  }
  return v22_pictures;
}

// Rewinds the stream and hands the file to the library's own reading.
void fall_back(const source_file &source, json_object *id3, std::string *comment) {
  rewind(source.stream);
  parse_id3_file_only(source, id3, comment);
}

} // namespace

json_object *build_child_from_ucs(const id3_ucs4_t *text) {
  if (text == nullptr)
    return nullptr;
  id3_utf8_t *utf8 = id3_ucs4_utf8duplicate(text);
  if (utf8 == nullptr) {
    log_error("Failed to make utf8 string from id3 tag!\n");
    return nullptr;
  }
  // The library passes surrogates and code points past U+10FFFF through
  // unchecked and encodes them as byte sequences that are not UTF-8. Those
  // bytes are escaped like any other invalid text, so that the record stays
  // valid UTF-8 (a bus reply cannot carry anything else); valid text is
  // taken unchanged.
  json_object *value = build_utf8_string_child(reinterpret_cast<const char *>(utf8));
  free(utf8);
  if (!json_is_created(value)) {
    log_error("Failed to make text entry from result!\n");
    return nullptr;
  }
  return value;
}

void handle_id3_frame(id3_frame *frame, json_object *id3) {
  const char *id = frame->id;
  if (g_ascii_strcasecmp(id, "ZOBS") == 0 || g_ascii_strcasecmp(id, "PRIV") == 0)
    return;
  if (id[0] == 'T') {
    if (g_ascii_strcasecmp(id, "TXXX") != 0)
      add_text_frame(frame, id3);
    return;
  }
  if (id[0] == 'W') {
    if (g_ascii_strcasecmp(id, "WXXX") != 0)
      add_url_frame(frame, id3);
    return;
  }
  if (strcmp(id, "APIC") == 0)
    add_picture_frame(frame, id3);
}

void parse_id3_file_only(const source_file &source, json_object *id3, std::string *comment) {
  // The library closes the descriptor it is given when its file is closed;
  // it gets a duplicate, so that the caller's stream keeps its own.
  int fd = source.fd < 0 ? -1 : dup(source.fd);
  if (fd < 0) {
    log_error("Failed to open mp3 for parsing!\n");
    return;
  }
  // The library merges whatever tags it finds into one, so it cannot say
  // whether the pictures came from a version 2.2 tag at the start.
  unsigned char header[tag_header_size];
  bool v22 =
      pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) && memcmp(header, "ID3\x02", 4) == 0;
  if (!id3_file_is_safe(fd)) {
    close(fd);
    return;
  }
  id3_file *library_file = id3_file_fdopen(fd, ID3_FILE_MODE_READONLY);
  if (library_file == nullptr) {
    close(fd); // the library leaves the descriptor open when it fails
    log_error("Failed to open mp3 for parsing!\n");
    return;
  }
  id3_tag *tag = id3_file_tag(library_file);
  if (tag == nullptr) {
    log_error("No tag found!\n");
    id3_file_close(library_file);
    return;
  }
  std::vector<id3_picture> decoded;
  size_t v22_pictures = map_frames(tag, id3, v22, &decoded);
  if (comment != nullptr)
    *comment = id3_first_comment(tag);
  // The tag at the start gave at most as many frames as the library kept;
  // a few more are allowed for frames its conversion of old ids merged.
  make_v22_pictures_from_file(source.fd, v22_pictures, tag->nframes + 64, id3);
  // The library file holds its own reference to the tag, so this frees
  // nothing before id3_file_close does.
  id3_tag_delete(tag);
  id3_file_close(library_file);
}

void parse_id3(const source_file &source, json_object *root, const char *, std::string *comment) {
  FILE *file = source.stream;
  json_object *id3 = json_object_new_object();
  if (!json_is_created(id3)) {
    log_error("Failed to allocate id3 info object!\n");
    return;
  }
  json_object_object_add(root, "id3", id3);

  unsigned char header[tag_header_size];
  if (fread(header, 1, sizeof header, file) != sizeof header) {
    log_error("Failed to read id3 header!\n");
    return;
  }
  // A file that does not begin with a tag (an MP3 named by its extension)
  // has no tag length to read; the library searches it for tags elsewhere,
  // such as an ID3v1 tag at its end.
  if (memcmp(header, "ID3", 3) != 0) {
    fall_back(source, id3, comment);
    return;
  }
  size_t length = static_cast<size_t>(sync_32(header + 6)) + tag_header_size;
  if (length > max_tag_in_memory) {
    fall_back(source, id3, comment);
    return;
  }
  // A tag within the bytes the opener read is parsed where it lies; the
  // rest of a longer one is read with one call.
  byte_ptr buffer;
  const unsigned char *bytes = source.head;
  if (length > source.head_length) {
    buffer.reset(static_cast<unsigned char *>(g_try_malloc(length)));
    if (!buffer) {
      log_error("Couldn't allocate id3 tag in memory\n");
      fall_back(source, id3, comment);
      return;
    }
    if (source_read_at(source, 0, buffer.get(), length) != length) {
      log_error("Failed to read tag into memory!\n");
      buffer.reset();
      fall_back(source, id3, comment);
      return;
    }
    bytes = buffer.get();
  }
  if (!id3_tag_is_safe(bytes, length))
    return;
  tag_ptr tag(id3_tag_parse(bytes, length));
  if (!tag) {
    log_error("Unable to parse id3 from memory!\n");
    return;
  }
  std::vector<id3_picture> decoded;
  size_t v22_pictures = map_frames(tag.get(), id3, header[3] == 2, &decoded);
  if (comment != nullptr)
    *comment = id3_first_comment(tag.get());
  locate_apic_data(bytes, length, tag->flags, id3, decoded, v22_pictures);
}

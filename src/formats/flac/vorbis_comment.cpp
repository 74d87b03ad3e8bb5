// Vorbis comment lists and picture blocks: the tag structures that FLAC
// files hold in metadata blocks and Ogg Vorbis and Opus files in a packet.
#include "formats/flac/flac.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"

#include <glib.h>

#include <algorithm>

namespace {

// A picture in a comment is base64; only its header is decoded, from at most
// this many base64 characters (a multiple of four). Its MIME type and
// description fit in far less in every real file, and the image itself is
// never decoded.
constexpr size_t max_base64_header_chars = 16384;

// The fixed 32-bit fields of a picture block around its two texts.
constexpr size_t picture_fixed_bytes = 8 * 4;

// Field names are printable ASCII other than '=' (0x20 to 0x7D); a name with
// any other byte is not a field name, and could not be a JSON key on the bus.
bool valid_field_name(const std::string &name) {
  if (name.empty())
    return false;
  for (unsigned char c : name)
    if (c < 0x20 || c > 0x7D || c == '=')
      return false;
  return true;
}

// Adds `text` under `key`: a string the first time, an array of strings once
// the key repeats.
void add_comment(json_object *comments, const std::string &key, const std::string &text) {
  json_ptr value(build_utf8_string_child(text.c_str()));
  if (!json_is_created(value.get()))
    return;
  json_object *present = json_object_object_get(comments, key.c_str());
  if (present == nullptr) {
    json_object_object_add(comments, key.c_str(), value.release());
    return;
  }
  if (json_object_is_type(present, json_type_array)) {
    if (json_object_array_add(present, value.get()) == 0)
      value.release();
    return;
  }
  json_ptr list(json_object_new_array());
  if (!json_is_created(list.get()))
    return;
  // The array takes its own reference to the first value, which the object
  // drops when the array replaces it.
  if (json_object_array_add(list.get(), json_object_get(present)) != 0 ||
      json_object_array_add(list.get(), value.get()) != 0)
    return;
  value.release();
  json_object_object_add(comments, key.c_str(), list.release());
}

void append_picture(json_object *member, json_object *picture) {
  json_ptr owned(picture);
  json_object *pictures = build_child_array_or_return(member, "pictures");
  if (owned && pictures != nullptr && json_object_is_type(pictures, json_type_array) &&
      json_object_array_add(pictures, owned.get()) == 0)
    owned.release();
}

// Length in bytes of what `text` (base64, possibly '=' padded) decodes to.
size_t base64_decoded_length(const std::string &text) {
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && padding < 2 && text[i - 1] == '='; --i)
    ++padding;
  size_t length = text.size() / 4 * 3;
  return length > padding ? length - padding : 0;
}

// Decodes up to `max_chars` characters of base64 text.
std::string base64_prefix(const std::string &text, size_t max_chars) {
  size_t chars = std::min(text.size(), max_chars);
  std::string out(chars / 4 * 3 + 3, '\0');
  gint state = 0;
  guint save = 0;
  size_t n = g_base64_decode_step(text.data(), chars, reinterpret_cast<guchar *>(&out[0]), &state, &save);
  out.resize(n);
  return out;
}

// METADATA_BLOCK_PICTURE: a whole picture block in base64. Its size is given
// only when the block's data length agrees with what the text holds.
void add_base64_picture(json_object *member, const std::string &text) {
  std::string head = base64_prefix(text, max_base64_header_chars);
  picture_header picture;
  if (!read_picture_header(reinterpret_cast<const unsigned char *>(head.data()), head.size(), &picture))
    return;
  json_object *object = picture_object(picture);
  if (object != nullptr && picture.data_start + picture.data_length <= base64_decoded_length(text))
    add_uint64_field(object, "size", picture.data_length);
  append_picture(member, object);
}

// COVERART: the bare image in base64, of unknown type.
void add_base64_cover(json_object *member, const std::string &text) {
  json_ptr object(json_object_new_object());
  if (!json_is_created(object.get()))
    return;
  add_uint64_field(object.get(), "size", base64_decoded_length(text));
  append_picture(member, object.release());
}

} // namespace

bool add_uint64_field(json_object *obj, const char *key, uint64_t value) {
  json_object *made = json_object_new_int64(static_cast<int64_t>(std::min<uint64_t>(value, INT64_MAX)));
  if (!json_is_created(made))
    return false;
  json_object_object_add(obj, key, made);
  return true;
}

bool read_picture_header(const unsigned char *bytes, size_t size, picture_header *picture) {
  size_t at = 0;
  // Reads one 32-bit field, if it lies in the bytes.
  auto field = [&](uint32_t *out) {
    if (size - at < 4)
      return false;
    *out = read_32(bytes + at);
    at += 4;
    return true;
  };
  auto text = [&](std::string *out) {
    uint32_t length = 0;
    if (!field(&length) || size - at < length)
      return false;
    out->assign(reinterpret_cast<const char *>(bytes + at), length);
    at += length;
    return true;
  };
  uint32_t depth = 0, colours = 0;
  if (size < picture_fixed_bytes || !field(&picture->type) || !text(&picture->mime) ||
      !text(&picture->description) || !field(&picture->width) || !field(&picture->height) || !field(&depth) ||
      !field(&colours) || !field(&picture->data_length)) {
    log_error("Picture block cut short!\n");
    return false;
  }
  picture->data_start = at;
  return true;
}

json_object *picture_object(const picture_header &picture) {
  json_ptr object(json_object_new_object());
  if (!json_is_created(object.get()))
    return nullptr;
  add_uint64_field(object.get(), "type", picture.type);
  add_field(object.get(), "mime", picture.mime.c_str());
  add_field(object.get(), "description", picture.description.c_str());
  add_uint64_field(object.get(), "width", picture.width);
  add_uint64_field(object.get(), "height", picture.height);
  return object.release();
}

void read_vorbis_comments(const unsigned char *bytes, size_t size, json_object *member) {
  size_t at = 0;
  // One length-prefixed text, if it lies in the bytes.
  auto text = [&](std::string *out) {
    if (size - at < 4)
      return false;
    uint32_t length = read_32_flip(bytes + at);
    if (size - at - 4 < length)
      return false;
    out->assign(reinterpret_cast<const char *>(bytes + at + 4), length);
    at += 4 + static_cast<size_t>(length);
    return true;
  };
  std::string vendor;
  if (!text(&vendor) || size - at < 4) {
    log_error("Vorbis comment header cut short!\n");
    return;
  }
  add_field(member, "vendor", vendor.c_str());
  uint32_t count = read_32_flip(bytes + at);
  at += 4;
  json_object *comments = json_object_new_object();
  if (!json_is_created(comments))
    return;
  json_object_object_add(member, "comments", comments);
  if (count > max_comment_fields) {
    log_error("Too many vorbis comments, reading %u!\n", max_comment_fields);
    count = max_comment_fields;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string field;
    if (!text(&field)) {
      log_error("Vorbis comment runs past its block!\n");
      return;
    }
    size_t equals = field.find('=');
    if (equals == std::string::npos)
      continue;
    std::string key = field.substr(0, equals);
    if (!valid_field_name(key))
      continue;
    for (char &c : key)
      c = g_ascii_toupper(c);
    std::string value = field.substr(equals + 1);
    if (key == "METADATA_BLOCK_PICTURE")
      add_base64_picture(member, value);
    else if (key == "COVERART")
      add_base64_cover(member, value);
    else
      add_comment(comments, key, value);
  }
}

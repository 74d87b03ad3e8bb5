// Every EXIF entry of a JPEG file as a JSON value under libexif's name for
// its tag: numbers as integers (the first component), rationals as objects,
// texts as strings.
#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/image/exif_internal.h"

#include <glib.h>
#include <unistd.h>
#include <libexif/exif-loader.h>
#include <libexif/exif-utils.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

using exif_data_ptr = std::unique_ptr<ExifData, fn_deleter<&exif_data_free>>;
using exif_loader_ptr = std::unique_ptr<ExifLoader, fn_deleter<&exif_loader_unref>>;

// libexif writes some texts longer than the entry's bytes: a BYTE entry such
// as the GPS version 2,3,0,0 becomes "2.3.0.0", unknown bytes become
// "0x12, 0x34", UCS-2 comments grow in UTF-8. Room for six characters a byte
// keeps those whole. Some one-byte entries are named from libexif's tables
// ("Sea level reference" for GPSAltitudeRef 1); room for at least 128
// characters keeps those whole too, where a cut would make two values read
// the same.
constexpr size_t text_chars_per_byte = 6;
constexpr size_t min_text_size = 128;

// A rational as {"numerator", "denominator"}; null when not created.
json_object *rational_object(int64_t numerator, int64_t denominator) {
  json_ptr value(json_object_new_object());
  if (!json_is_created(value.get()))
    return nullptr;
  if (!add_int64_field(value.get(), "numerator", numerator) ||
      !add_int64_field(value.get(), "denominator", denominator))
    return nullptr;
  return value.release();
}

// libexif's text for a BYTE or ASCII entry, as a JSON string.
json_object *text_value(ExifEntry *entry, const char *name) {
  size_t size = std::max(std::max<size_t>(entry->size, entry->components) * text_chars_per_byte + 2, min_text_size);
  char *text = static_cast<char *>(g_try_malloc0(size));
  if (text == nullptr) {
    log_error("Failed to allocate ascii! %s\n", name);
    return nullptr;
  }
  // One byte short of the buffer, so the text always ends in a zero byte.
  exif_entry_get_value(entry, text, static_cast<unsigned int>(size - 1));
  json_object *value = build_utf8_string_child(text);
  g_free(text);
  return value;
}

// libexif renders the copyright as "<photographer> (Photographer) - <editor>
// (Editor)", with "[None]" for a missing part: words the file does not hold,
// cut short by any buffer sized from the entry. The record gives the stored
// text instead: the photographer's part, then the editor's after a line feed
// when the file holds one.
json_object *copyright_value(ExifEntry *entry) {
  const char *data = reinterpret_cast<const char *>(entry->data);
  std::string stored = data != nullptr ? std::string(data, entry->size) : std::string();
  size_t end = stored.find('\0');
  std::string text = stored.substr(0, end);
  if (end != std::string::npos) {
    std::string editor = stored.substr(end + 1);
    editor = editor.substr(0, editor.find('\0'));
    if (!editor.empty())
      text += "\n" + editor;
  }
  return build_utf8_string_child(text.c_str());
}

// The JSON value of one entry, or null for formats that make none.
json_object *entry_value(ExifEntry *entry, ExifByteOrder order, const char *name) {
  switch (entry->format) {
  case EXIF_FORMAT_ASCII:
    if (entry->tag == EXIF_TAG_COPYRIGHT)
      return copyright_value(entry);
    return text_value(entry, name);
  case EXIF_FORMAT_BYTE:
    return text_value(entry, name);
  case EXIF_FORMAT_FLOAT:
    log_error("Float found for exif data! %s\n", name);
    return nullptr;
  case EXIF_FORMAT_DOUBLE:
    log_error("Double found for exif data! %s\n", name);
    return nullptr;
  default:
    break;
  }
  // Numeric formats give their first component, which must be there.
  unsigned char unit = exif_format_get_size(entry->format);
  if (unit == 0 || entry->data == nullptr || entry->size < unit)
    return nullptr;
  const unsigned char *data = entry->data;
  switch (entry->format) {
  case EXIF_FORMAT_SHORT:
    return json_object_new_int(exif_get_short(data, order));
  case EXIF_FORMAT_LONG:
    return json_object_new_int64(exif_get_long(data, order));
  case EXIF_FORMAT_RATIONAL: {
    ExifRational r = exif_get_rational(data, order);
    return rational_object(r.numerator, r.denominator);
  }
  case EXIF_FORMAT_SBYTE:
    return json_object_new_int(static_cast<signed char>(data[0]));
  case EXIF_FORMAT_SSHORT:
    return json_object_new_int(exif_get_sshort(data, order));
  case EXIF_FORMAT_SLONG:
    return json_object_new_int(exif_get_slong(data, order));
  case EXIF_FORMAT_SRATIONAL: {
    ExifSRational r = exif_get_srational(data, order);
    return rational_object(r.numerator, r.denominator);
  }
  default: // UNDEFINED (maker notes, versions) and unknown formats
    return nullptr;
  }
}

// libexif's loader is fed this many bytes at a time, as its own file reading
// does.
constexpr size_t loader_chunk = 1024;

} // namespace

// The block always comes from the file the first pass walked: opening the
// path again could meet another file, or a pipe that never delivers.
ExifData *exif_load_from_source(const source_file &source) {
  exif_loader_ptr loader(exif_loader_new());
  // Through a stream, so that a block past the file's head costs one read
  // per window rather than one per chunk.
  file_ptr stream(pread_stream_open(source));
  if (!loader || !stream)
    return nullptr;
  rewind(stream.get());
  unsigned char chunk[loader_chunk];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, stream.get())) > 0 &&
         exif_loader_write(loader.get(), chunk, static_cast<unsigned int>(got)))
    continue;
  const unsigned char *block = nullptr;
  unsigned int size = 0;
  exif_loader_get_buf(loader.get(), &block, &size);
  if (block == nullptr || size == 0)
    return nullptr;
  return exif_load_as_stored(block, size);
}

bool add_int64_field(json_object *obj, const char *key, int64_t value) {
  json_object *made = json_object_new_int64(value);
  if (!json_is_created(made))
    return false;
  json_object_object_add(obj, key, made);
  return true;
}

ExifData *exif_load_as_stored(const unsigned char *data, unsigned int size) {
  ExifData *loaded = exif_data_new();
  if (loaded == nullptr)
    return nullptr;
  exif_data_unset_option(loaded, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(loaded, data, size);
  return loaded;
}

void handle_exif_content(ExifContent *content, void *user_data) {
  exif_walk_state *state = static_cast<exif_walk_state *>(user_data);
  state->ifd = exif_content_get_ifd(content);
  if (state->ifd == EXIF_IFD_COUNT) {
    log_error("With exif tag, ifd invalid\n");
    return;
  }
  exif_content_foreach_entry(content, handle_exif_content_entry, state);
}

void handle_exif_content_entry(ExifEntry *entry, void *user_data) {
  exif_walk_state *state = static_cast<exif_walk_state *>(user_data);
  const char *name = exif_tag_get_name_in_ifd(entry->tag, state->ifd);
  if (name == nullptr) {
    log_error("Failed to get exif tag name!\n");
    return;
  }
  json_object *value = entry_value(entry, state->byte_order, name);
  // Names repeat across IFDs (the resolution of IFD 0 and of the thumbnail):
  // the IFD libexif presents later wins.
  if (json_is_created(value))
    json_object_object_add(state->exif, name, value);
}

void exif_add_entries(json_object *root, json_object *exif, const source_file &source) {
  exif_data_ptr data(exif_load_from_source(source));
  if (!data) {
    log_error("Failed to parse image exif!\n");
    return;
  }
  exif_walk_state state{exif, exif_data_get_byte_order(data.get()), EXIF_IFD_COUNT};
  exif_data_foreach_content(data.get(), handle_exif_content, &state);
  add_exif_location(root, data.get());
}

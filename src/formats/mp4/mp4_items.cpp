// The items of the MPEG-4 item list: text, genre, track and disc numbers and
// the cover art, each read from the "data" box that is its first child.
#include "formats/mp4/mp4_boxes.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"

#include <sys/types.h>

#include <cstring>

namespace {

// size (4), "data" (4), version (1), type indicator (3), locale (4)
constexpr size_t data_header_size = 16;
constexpr uint32_t indicator_integer = 0;
constexpr uint32_t indicator_text = 1;
// Longest text payload kept; the buffer holds one zero byte more, so the
// text is always terminated.
constexpr uint32_t max_text_payload = 257;
// Numbers are at most 8 bytes: track and disc use 6 or 8, the genre 2.
constexpr uint32_t max_numeric_payload = 8;

struct data_header {
  uint32_t size;      // whole data box, its header included
  uint32_t type;      // must be "data"
  uint32_t indicator; // 1 text, 0 integer, image kinds for covers
};

// Reads an item's DATA header; false, logged, when it is cut short or the
// box is not "data" (`not_data` is the handler's own line for that).
bool read_data_header(FILE *file, data_header *header, const char *not_data) {
  unsigned char bytes[data_header_size];
  if (fread(bytes, 1, sizeof bytes, file) < sizeof bytes) {
    log_error("DATA box not big enough!\n");
    return false;
  }
  header->size = read_32(bytes);
  header->type = read_32(bytes + 4);
  header->indicator = read_32(bytes + 8) & 0xFFFFFF; // the version byte is not examined
  if (header->type != box_code("data")) {
    log_error("%s", not_data);
    return false;
  }
  return true;
}

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

} // namespace

void add_box_to_root(json_object *obj, unsigned int code, json_object *value) {
  if (!json_is_created(value))
    return;
  char key[5];
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(code >> (24 - 8 * i));
    key[i] = is_ascii_letter(c) ? static_cast<char>(c) : '_';
  }
  key[4] = '\0';
  if (json_object_object_add(obj, key, value) != 0)
    json_object_put(value);
}

void process_data_box_text(FILE *file, json_object *mp4, unsigned int code) {
  data_header header;
  if (!read_data_header(file, &header, "DATA box expected!\n"))
    return;
  // Unsigned on purpose: a size below 16 wraps to a huge length and is
  // refused with the long ones.
  const uint32_t length = header.size - static_cast<uint32_t>(data_header_size);
  if (length > max_text_payload) {
    log_error("DATA box had invalid size!\n");
    return;
  }
  char text[max_text_payload + 1];
  memset(text, 0, sizeof text);
  if (fread(text, 1, length, file) < length) {
    log_error("Data box read was too short!\n");
    return;
  }
  if (header.indicator != indicator_text) {
    log_error("Expected text DATA box!\n");
    return;
  }
  // The text ends at its first zero byte, or with the payload.
  add_box_to_root(mp4, code, build_utf8_string_child(text));
}

void process_data_box_numeric(FILE *file, json_object *mp4, unsigned int code) {
  data_header header;
  if (!read_data_header(file, &header, "DATA box expected!\n"))
    return;
  const uint32_t length =
      header.size < data_header_size ? 0 : header.size - static_cast<uint32_t>(data_header_size);
  if (length > max_numeric_payload) {
    log_error("DATA box had invalid size!\n");
    return;
  }
  unsigned char payload[max_numeric_payload] = {};
  if (fread(payload, 1, length, file) < length) {
    log_error("Data box read was too short!\n");
    return;
  }
  if (header.indicator != indicator_integer) {
    log_error("Expected numeric DATA box!\n");
    return;
  }
  const int n = static_cast<int>(length);
  if (code == box_code("gnre")) {
    if (n < 2) {
      log_error("Genre was not 2 bytes long (%d)\n", n);
      return;
    }
    // The genre number fits in the low byte of its 16-bit field.
    add_box_to_root(mp4, code, json_object_new_int(payload[1]));
    return;
  }
  // Track and disc: 2 bytes not used, then position and total, 16 bits each.
  if (n < 6) {
    log_error("trkn/disk was not 6 bytes long %d\n", n);
    return;
  }
  json_object *made = json_object_new_object();
  if (!json_is_created(made))
    return;
  add_field(made, "position", static_cast<int>(read_16(payload + 2)));
  add_field(made, "total", static_cast<int>(read_16(payload + 4)));
  add_box_to_root(mp4, code, made);
}

void process_data_box_covr(FILE *file, json_object *mp4) {
  data_header header;
  if (!read_data_header(file, &header, "COVR DATA box expected!\n"))
    return;
  const int32_t image_size = static_cast<int32_t>(header.size - static_cast<uint32_t>(data_header_size));
  if (image_size < 0) {
    log_error("COVR DATA box had invalid size!\n");
    return;
  }
  // The image's first byte follows the data header.
  const off_t offset = ftello(file);
  if (offset < 0) {
    log_error("Error getting file position!\n");
    return;
  }
  // The image must lie inside the file: in a cut file the place would name
  // bytes that are not there, and a caller would read a short picture.
  if (fseeko(file, 0, SEEK_END) != 0 || ftello(file) - offset < image_size) {
    log_error("COVR image runs past the end of the file!\n");
    return;
  }
  add_field(mp4, "thumbSize", static_cast<int>(image_size));
  // An integer of 64 bits, so covers stored past 2 GiB keep their offset.
  json_object *position = json_object_new_int64(static_cast<int64_t>(offset));
  if (json_is_created(position))
    json_object_object_add(mp4, "thumbOffset", position);
}

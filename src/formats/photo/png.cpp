// PNG files: a walk over the chunks for the EXIF block ("eXIf") and the
// texts ("tEXt", and "iTXt" when stored uncompressed).
#include "formats/photo/photo.h"
#include "formats/photo/photo_io.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t signature_size = 8;
constexpr size_t chunk_header_size = 8; // 32-bit big-endian length, type
constexpr size_t chunk_crc_size = 4;
// Chunks walked at most. Image data may come in thousands of chunks; the
// bound keeps a file of empty chunks from costing a read per twelve bytes.
constexpr unsigned max_chunks = 100000;
// A text chunk is read this far.
constexpr size_t max_text_chunk = 65536;

// tEXt is Latin-1.
std::string latin1_to_utf8(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// tEXt: keyword, zero byte, text. iTXt: keyword, zero byte, compression
// flag and method, language tag, zero byte, translated keyword, zero byte,
// text in UTF-8. Compressed texts are left out.
void read_text(const std::string &chunk, bool international, json_object *texts) {
  size_t end = chunk.find('\0');
  if (end == std::string::npos || end == 0) {
    log_error("Png text without keyword!\n");
    return;
  }
  std::string keyword = latin1_to_utf8(chunk.substr(0, end));
  std::string text;
  if (!international) {
    text = latin1_to_utf8(chunk.substr(end + 1));
  } else {
    if (chunk.size() < end + 3 || chunk[end + 1] != 0)
      return;
    size_t language_end = chunk.find('\0', end + 3);
    size_t translated_end = language_end == std::string::npos ? language_end : chunk.find('\0', language_end + 1);
    if (translated_end == std::string::npos)
      return;
    text = chunk.substr(translated_end + 1);
  }
  // A keyword that comes again keeps its last text.
  add_field(texts, keyword.c_str(), text.c_str());
}

void walk_chunks(FILE *file, uint64_t file_size, json_object *root) {
  json_ptr texts(json_object_new_object());
  uint64_t at = signature_size;
  for (unsigned n = 0; n < max_chunks && at + chunk_header_size <= file_size; ++n) {
    unsigned char header[chunk_header_size];
    if (!read_at(file, at, header, sizeof header))
      break;
    const uint32_t length = read_32(header);
    const uint64_t start = at + chunk_header_size;
    if (length > file_size - start) {
      log_error("Png chunk runs past the file!\n");
      break;
    }
    if (memcmp(header + 4, "IEND", 4) == 0)
      break;
    if (memcmp(header + 4, "eXIf", 4) == 0) {
      std::vector<unsigned char> block(std::min<size_t>(length, max_exif_block));
      if (read_at(file, start, block.data(), block.size()))
        add_exif_block(root, block.data(), block.size(), start);
    } else if (json_is_created(texts.get()) &&
               (memcmp(header + 4, "tEXt", 4) == 0 || memcmp(header + 4, "iTXt", 4) == 0)) {
      std::string chunk(std::min<size_t>(length, max_text_chunk), '\0');
      if (read_at(file, start, &chunk[0], chunk.size()))
        read_text(chunk, header[4] == 'i', texts.get());
    }
    at = start + length + chunk_crc_size;
  }
  if (json_is_created(texts.get()) && json_object_object_length(texts.get()) > 0) {
    json_object *png = json_object_new_object();
    if (!json_is_created(png))
      return;
    json_object_object_add(png, "texts", texts.release());
    json_object_object_add(root, "png", png);
  }
}

} // namespace

void parse_png(FILE *file, json_object *root, const char *) {
  offset_reader reader;
  if (open_offset_reader(file, &reader))
    walk_chunks(reader.file, reader.size, root);
}

// PNG files: a walk over the chunks for the EXIF block ("eXIf") and the
// texts ("tEXt", "zTXt" and "iTXt").
#include "formats/photo/photo.h"
#include "formats/photo/photo_io.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"

#include <zlib.h>

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
// A text chunk is read this far, and a compressed text inflated this far:
// a few kilobytes of zlib stream can stand for gigabytes of text.
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

// The text a zlib stream inflates to, up to max_text_chunk bytes; false
// when the stream is broken before that.
bool inflate_text(const std::string &packed, std::string *text) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK)
    return false;
  text->assign(max_text_chunk, '\0');
  stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = reinterpret_cast<Bytef *>(&(*text)[0]);
  stream.avail_out = static_cast<uInt>(text->size());
  int status = inflate(&stream, Z_FINISH);
  text->resize(text->size() - stream.avail_out);
  inflateEnd(&stream);
  // A text cut at the bound is kept as far as it goes.
  return status == Z_STREAM_END || (status == Z_BUF_ERROR && stream.avail_out == 0);
}

enum class text_chunk { plain, compressed, international };

// tEXt: keyword, zero byte, Latin-1 text. zTXt: keyword, zero byte,
// compression method (0, zlib), the compressed Latin-1 text. iTXt: keyword,
// zero byte, compression flag and method, language tag, zero byte,
// translated keyword, zero byte, the UTF-8 text, compressed when the flag
// is 1.
void read_text(const std::string &chunk, text_chunk kind, json_object *texts) {
  size_t end = chunk.find('\0');
  if (end == std::string::npos || end == 0) {
    log_error("Png text without keyword!\n");
    return;
  }
  std::string keyword = latin1_to_utf8(chunk.substr(0, end));
  std::string text;
  if (kind == text_chunk::plain) {
    text = latin1_to_utf8(chunk.substr(end + 1));
  } else if (kind == text_chunk::compressed) {
    if (chunk.size() < end + 2 || chunk[end + 1] != 0 || !inflate_text(chunk.substr(end + 2), &text)) {
      log_error("Png compressed text does not inflate!\n");
      return;
    }
    text = latin1_to_utf8(text);
  } else {
    if (chunk.size() < end + 3 || chunk[end + 2] != 0)
      return;
    size_t language_end = chunk.find('\0', end + 3);
    size_t translated_end = language_end == std::string::npos ? language_end : chunk.find('\0', language_end + 1);
    if (translated_end == std::string::npos)
      return;
    text = chunk.substr(translated_end + 1);
    if (chunk[end + 1] == 1) {
      std::string packed = std::move(text);
      if (!inflate_text(packed, &text)) {
        log_error("Png compressed text does not inflate!\n");
        return;
      }
    } else if (chunk[end + 1] != 0) {
      return;
    }
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
               (memcmp(header + 4, "tEXt", 4) == 0 || memcmp(header + 4, "zTXt", 4) == 0 ||
                memcmp(header + 4, "iTXt", 4) == 0)) {
      std::string chunk(std::min<size_t>(length, max_text_chunk), '\0');
      text_chunk kind = header[4] == 't' ? text_chunk::plain
                        : header[4] == 'z' ? text_chunk::compressed
                                           : text_chunk::international;
      if (read_at(file, start, &chunk[0], chunk.size()))
        read_text(chunk, kind, texts.get());
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

void parse_png(const source_file &source, json_object *root, const char *) {
  offset_reader reader;
  if (open_offset_reader(source, &reader))
    walk_chunks(reader.file, reader.size, root);
}

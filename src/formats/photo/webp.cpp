// WebP files: the chunks of the RIFF/WEBP form, for the "EXIF" chunk.
#include "formats/photo/photo.h"
#include "formats/photo/photo_io.h"

#include "base/byte_readers.h"
#include "base/log.h"
#include "formats/image/exif_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t riff_header_size = 12; // "RIFF", size, "WEBP"
constexpr size_t chunk_header_size = 8; // four-letter id, 32-bit little-endian size
// A WebP file has a handful of chunks (header, image, alpha, profile,
// metadata, animation frames); the bound keeps a file of empty chunks cheap.
constexpr unsigned max_chunks = 4096;
// Some writers keep the "Exif\0\0" identifier of a JPEG's APP1 segment
// before the TIFF header.
constexpr char exif_identifier[] = "Exif\0";
constexpr size_t exif_identifier_size = 6;

// Bytes of the first chunk's payload that hold the canvas size.
constexpr size_t size_bytes = 10;

void walk_chunks(FILE *file, uint64_t file_size, json_object *root) {
  uint64_t at = riff_header_size;
  for (unsigned n = 0; n < max_chunks && at + chunk_header_size <= file_size; ++n) {
    unsigned char header[chunk_header_size];
    if (!read_at(file, at, header, sizeof header))
      return;
    const uint32_t length = read_32_flip(header + 4);
    const uint64_t start = at + chunk_header_size;
    if (length > file_size - start) {
      log_error("Webp chunk runs past the file!\n");
      return;
    }
    unsigned char head[size_bytes];
    image_size size{};
    if (n == 0 && read_at(file, start, head, std::min<size_t>(length, sizeof head)) &&
        webp_canvas_size(header, head, std::min<size_t>(length, sizeof head), &size.width, &size.height))
      add_image_size(root, size);
    if (memcmp(header, "EXIF", 4) == 0) {
      std::vector<unsigned char> block(std::min<size_t>(length, max_exif_block));
      if (!read_at(file, start, block.data(), block.size()))
        return;
      size_t skip = block.size() >= exif_identifier_size &&
                            memcmp(block.data(), exif_identifier, exif_identifier_size) == 0
                        ? exif_identifier_size
                        : 0;
      add_exif_block(root, block.data() + skip, block.size() - skip, start + skip);
      return;
    }
    at = start + length + (length & 1);
  }
}

} // namespace

bool webp_canvas_size(const unsigned char *id, const unsigned char *p, size_t n, int64_t *width, int64_t *height) {
  if (memcmp(id, "VP8X", 4) == 0 && n >= 10) {
    // Flags, three reserved bytes, then width - 1 and height - 1 in 24 bits.
    *width = (p[4] | p[5] << 8 | p[6] << 16) + 1;
    *height = (p[7] | p[8] << 8 | p[9] << 16) + 1;
    return true;
  }
  if (memcmp(id, "VP8L", 4) == 0 && n >= 5 && p[0] == 0x2F) {
    // The signature byte, then width - 1 and height - 1 in 14 bits each.
    const uint32_t bits = read_32_flip(p + 1);
    *width = (bits & 0x3FFF) + 1;
    *height = (bits >> 14 & 0x3FFF) + 1;
    return true;
  }
  if (memcmp(id, "VP8 ", 4) == 0 && n >= 10 && p[3] == 0x9D && p[4] == 0x01 && p[5] == 0x2A) {
    // A key frame: frame tag, start code, then 14-bit width and height.
    *width = read_16_flip(p + 6) & 0x3FFF;
    *height = read_16_flip(p + 8) & 0x3FFF;
    return true;
  }
  return false;
}

void parse_webp(const source_file &source, json_object *root, const char *) {
  offset_reader reader;
  if (open_offset_reader(source, &reader))
    walk_chunks(reader.file, reader.size, root);
}

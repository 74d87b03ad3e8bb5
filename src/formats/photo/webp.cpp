// WebP files: the chunks of the RIFF/WEBP form, for the "EXIF" chunk.
#include "formats/photo/photo.h"
#include "formats/photo/photo_io.h"

#include "base/byte_readers.h"
#include "base/log.h"

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

void parse_webp(FILE *file, json_object *root, const char *) {
  offset_reader reader;
  if (open_offset_reader(file, &reader))
    walk_chunks(reader.file, reader.size, root);
}

// FLAC files: the walk over the metadata blocks that follow "fLaC", with the
// stream info, the Vorbis comments and the location of every picture.
#include "formats/flac/flac.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/file_reads.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t id3_header_size = 10;
constexpr unsigned id3_footer_flag = 0x10; // a 10-byte footer follows the tag
constexpr size_t block_header_size = 4;    // last flag and type, 24-bit length
constexpr size_t stream_info_size = 34;

enum : unsigned { block_stream_info = 0, block_comment = 4, block_picture = 6 };

// Metadata blocks walked at most. Real files have a handful (stream info,
// seek table, comments, a picture or two, padding); the bound keeps a file
// of empty blocks from costing a read per four bytes.
constexpr unsigned max_blocks = 1024;

// Bytes of a picture block read to decode its header; the image data after
// it is located, never read. A MIME type and a description fit in far less.
constexpr size_t max_picture_header = 65536;

// Where "fLaC" should stand: at 0, or after an ID3v2 tag (its synchsafe
// size counts neither its header nor its footer).
uint64_t stream_start(FILE *file) {
  unsigned char header[id3_header_size];
  if (!read_at(file, 0, header, sizeof header) || memcmp(header, "ID3", 3) != 0)
    return 0;
  uint64_t size = static_cast<uint64_t>(header[6] & 0x7F) << 21 | (header[7] & 0x7F) << 14 |
                  (header[8] & 0x7F) << 7 | (header[9] & 0x7F);
  return id3_header_size + size + ((header[5] & id3_footer_flag) ? id3_header_size : 0);
}

void read_stream_info(const unsigned char *p, json_object *flac) {
  // After the block and frame size bounds (10 bytes): sample rate 20 bits,
  // channels - 1 3 bits, bits per sample - 1 5 bits, total samples 36 bits.
  const unsigned char *q = p + 10;
  uint32_t rate = static_cast<uint32_t>(q[0]) << 12 | q[1] << 4 | q[2] >> 4;
  uint32_t channels = ((q[2] >> 1) & 0x07) + 1;
  uint32_t bits = ((q[2] & 0x01) << 4 | q[3] >> 4) + 1;
  uint64_t samples = static_cast<uint64_t>(q[3] & 0x0F) << 32 | read_32(q + 4);
  add_uint64_field(flac, "sampleRate", rate);
  add_uint64_field(flac, "channels", channels);
  add_uint64_field(flac, "bitsPerSample", bits);
  add_uint64_field(flac, "totalSamples", samples);
  // Zero total samples means the encoder did not know the length.
  if (rate != 0 && samples != 0)
    add_field(flac, "duration", static_cast<double>(samples) / rate);
}

// A picture block: its header decoded, its data located when the whole of it
// lies inside the block and the file.
void read_picture(FILE *file, uint64_t start, uint32_t length, uint64_t file_size, json_object *flac) {
  std::vector<unsigned char> head(std::min<size_t>(length, max_picture_header));
  if (!read_at(file, start, head.data(), head.size())) {
    log_error("Failed to read flac picture!\n");
    return;
  }
  picture_header picture;
  if (!read_picture_header(head.data(), head.size(), &picture))
    return;
  json_ptr object(picture_object(picture));
  if (!object)
    return;
  uint64_t data_end = picture.data_start + static_cast<uint64_t>(picture.data_length);
  if (data_end <= length && start + data_end <= file_size) {
    add_uint64_field(object.get(), "thumbOffset", start + picture.data_start);
    add_uint64_field(object.get(), "thumbSize", picture.data_length);
  }
  json_object *pictures = build_child_array_or_return(flac, "pictures");
  if (pictures != nullptr && json_object_is_type(pictures, json_type_array) &&
      json_object_array_add(pictures, object.get()) == 0)
    object.release();
}

void walk_blocks(FILE *file, uint64_t at, uint64_t file_size, json_object *flac) {
  for (unsigned n = 0; n < max_blocks; ++n) {
    unsigned char header[block_header_size];
    if (!read_at(file, at, header, sizeof header)) {
      log_error("Flac block header cut short!\n");
      return;
    }
    const bool last = header[0] & 0x80;
    const unsigned type = header[0] & 0x7F;
    const uint32_t length = static_cast<uint32_t>(header[1]) << 16 | header[2] << 8 | header[3];
    const uint64_t start = at + block_header_size;
    if (start + length > file_size) {
      log_error("Flac block runs past the file!\n");
      // A picture's header may still be whole; its data gets no location.
      if (type == block_picture && start < file_size)
        read_picture(file, start, static_cast<uint32_t>(file_size - start), file_size, flac);
      return;
    }
    if (type == block_stream_info) {
      unsigned char info[stream_info_size];
      if (length < stream_info_size || !read_at(file, start, info, sizeof info))
        log_error("Flac stream info too short!\n");
      else
        read_stream_info(info, flac);
    } else if (type == block_comment) {
      std::vector<unsigned char> block(length);
      if (read_at(file, start, block.data(), length))
        read_vorbis_comments(block.data(), length, flac);
    } else if (type == block_picture) {
      read_picture(file, start, length, file_size, flac);
    }
    if (last)
      return;
    at = start + length;
  }
  log_error("Too many flac blocks, giving up!\n");
}

} // namespace

bool flac_follows_id3(const source_file &source) {
  FILE *file = source.stream;
  unsigned char marker[4];
  uint64_t start = stream_start(file);
  bool found = start != 0 && read_at(file, start, marker, sizeof marker) && memcmp(marker, "fLaC", 4) == 0;
  rewind(file);
  return found;
}

void parse_flac(const source_file &source, json_object *root, const char *) {
  json_object *flac = json_object_new_object();
  if (!json_is_created(flac)) {
    log_error("Failed to allocate flac info object!\n");
    return;
  }
  json_object_object_add(root, "flac", flac);
  offset_reader reader;
  if (!open_offset_reader(source, &reader))
    return;
  FILE *in = reader.file;
  uint64_t start = stream_start(in);
  unsigned char marker[4];
  if (!read_at(in, start, marker, sizeof marker) || memcmp(marker, "fLaC", 4) != 0) {
    log_error("No fLaC marker found!\n");
    return;
  }
  walk_blocks(in, start + sizeof marker, reader.size, flac);
}

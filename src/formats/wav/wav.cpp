// WAV files: a walk over the chunks of the RIFF/WAVE form. "fmt " gives the
// sample format, "data" the length of the audio, "LIST"/"INFO" the texts,
// and an "id3 " chunk an ID3v2 tag, read by the MP3 reader over the chunk's
// bytes with its pictures located in the file.
#include "formats/wav/wav.h"

#include "formats/id3/id3.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/file_reads.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t riff_header_size = 12; // "RIFF", size, "WAVE"
constexpr size_t chunk_header_size = 8; // four-letter id, 32-bit little-endian size
constexpr size_t fmt_size = 16;         // format tag, channels, rate, byte rate, block align, bits

// Chunks walked at most. A WAV file has a handful; the bound keeps a file of
// empty chunks from costing a read per eight bytes.
constexpr unsigned max_chunks = 4096;
// INFO lists are a few short texts; a longer one is read this far.
constexpr size_t max_info_list = 65536;
// The ID3 reader keeps tags up to 2 MiB (and its 10-byte header) in memory;
// a longer chunk would not be parsed from memory anyway.
constexpr size_t max_id3_chunk = 2 * 1024 * 1024 + 10;
// A "data" chunk whose writer did not know its length at the start of the
// recording carries this size; the audio then runs to the end of the file.
constexpr uint32_t unknown_size = 0xFFFFFFFF;

// The INFO texts given, by their chunk ids: title, artist, album, date,
// genre, comment, and the track number, which writers put under either id.
const char *const info_ids[] = {"INAM", "IART", "IPRD", "ICRD", "IGNR", "ICMT", "ITRK", "IPRT"};

void add_u32(json_object *obj, const char *key, uint32_t value) {
  json_object *made = json_object_new_int64(value);
  if (json_is_created(made))
    json_object_object_add(obj, key, made);
}

void read_info_list(const unsigned char *p, size_t size, json_object *wav) {
  json_ptr info(json_object_new_object());
  if (!json_is_created(info.get()))
    return;
  size_t at = 4; // after "INFO"
  while (size - at >= chunk_header_size) {
    uint32_t length = read_32_flip(p + at + 4);
    const unsigned char *text = p + at + chunk_header_size;
    size_t room = size - at - chunk_header_size;
    if (length > room) {
      log_error("Wav info text runs past its list!\n");
      break;
    }
    for (const char *id : info_ids) {
      if (memcmp(p + at, id, 4) == 0) {
        // Texts are zero-terminated and padded; the first zero ends them.
        std::string value(reinterpret_cast<const char *>(text), length);
        add_field(info.get(), id, value.c_str());
      }
    }
    at += chunk_header_size + length + (length & 1);
    if (at > size)
      break;
  }
  if (json_object_object_length(info.get()) > 0)
    json_object_object_add(wav, "info", info.release());
}

// The tag is handed to the ID3 reader as a stream of its own; the offsets
// it gives the pictures count from the chunk, so the chunk's offset is added.
void read_id3_chunk(FILE *file, uint64_t start, uint32_t length, json_object *wav, std::string *comment) {
  std::vector<unsigned char> tag(std::min<size_t>(length, max_id3_chunk));
  if (tag.size() < 3 || !read_at(file, start, tag.data(), tag.size()) || memcmp(tag.data(), "ID3", 3) != 0) {
    log_error("Wav id3 chunk holds no tag!\n");
    return;
  }
  FILE *memory = fmemopen(tag.data(), tag.size(), "r");
  if (memory == nullptr)
    return;
  // The chunk's bytes, all in memory, are the head of the tag's "file".
  source_file chunk(memory);
  chunk.head = tag.data();
  chunk.head_length = tag.size();
  parse_id3(chunk, wav, nullptr, comment);
  fclose(memory);
  json_object *pictures = json_object_object_get(json_object_object_get(wav, "id3"), "APIC");
  if (!json_object_is_type(pictures, json_type_array))
    return;
  for (size_t i = 0; i < json_object_array_length(pictures); ++i) {
    json_object *picture = json_object_array_get_idx(pictures, i);
    json_object *offset = json_object_object_get(picture, "thumbOffset");
    if (offset != nullptr)
      json_object_object_add(picture, "thumbOffset",
                             json_object_new_int64(json_object_get_int64(offset) + static_cast<int64_t>(start)));
  }
}

struct wave_format {
  uint32_t byte_rate = 0;
  bool seen = false;
};

void read_fmt(const unsigned char *p, json_object *wav, wave_format *format) {
  add_u32(wav, "formatTag", read_16_flip(p));
  add_u32(wav, "channels", read_16_flip(p + 2));
  add_u32(wav, "sampleRate", read_32_flip(p + 4));
  add_u32(wav, "byteRate", read_32_flip(p + 8));
  add_u32(wav, "bitsPerSample", read_16_flip(p + 14));
  format->byte_rate = read_32_flip(p + 8);
  format->seen = true;
}

void walk_chunks(FILE *file, uint64_t file_size, json_object *wav, std::string *comment) {
  wave_format format;
  uint64_t at = riff_header_size;
  for (unsigned n = 0; n < max_chunks && at + chunk_header_size <= file_size; ++n) {
    unsigned char header[chunk_header_size];
    if (!read_at(file, at, header, sizeof header)) {
      log_error("Wav chunk header cut short!\n");
      return;
    }
    const uint64_t start = at + chunk_header_size;
    const uint32_t length = read_32_flip(header + 4);
    // What of the chunk the file holds.
    const uint64_t held = std::min<uint64_t>(length, file_size - start);
    if (memcmp(header, "fmt ", 4) == 0) {
      unsigned char fmt[fmt_size];
      if (held < fmt_size || !read_at(file, start, fmt, sizeof fmt))
        log_error("Wav fmt chunk too short!\n");
      else
        read_fmt(fmt, wav, &format);
    } else if (memcmp(header, "data", 4) == 0) {
      // Unknown length, or a length past the end of a cut recording: the
      // audio is what the file holds.
      uint64_t audio = length == unknown_size ? file_size - start : held;
      if (format.seen && format.byte_rate != 0)
        add_field(wav, "duration", static_cast<double>(audio) / format.byte_rate);
    } else if (memcmp(header, "LIST", 4) == 0) {
      std::vector<unsigned char> list(std::min<uint64_t>(held, max_info_list));
      if (list.size() >= 4 && read_at(file, start, list.data(), list.size()) && memcmp(list.data(), "INFO", 4) == 0)
        read_info_list(list.data(), list.size(), wav);
    } else if (memcmp(header, "id3 ", 4) == 0 || memcmp(header, "ID3 ", 4) == 0) {
      read_id3_chunk(file, start, static_cast<uint32_t>(held), wav, comment);
    }
    // Chunks are padded to an even length. One that claims more than the
    // file holds ends the walk.
    if (length == unknown_size || length > file_size - start)
      return;
    at = start + length + (length & 1);
  }
}

} // namespace

void parse_wav(const source_file &source, json_object *root, const char *, std::string *comment) {
  json_object *wav = json_object_new_object();
  if (!json_is_created(wav)) {
    log_error("Failed to allocate wav info object!\n");
    return;
  }
  json_object_object_add(root, "wav", wav);
  offset_reader reader;
  if (!open_offset_reader(source, &reader))
    return;
  FILE *in = reader.file;
  unsigned char header[riff_header_size];
  if (!read_at(in, 0, header, sizeof header) || memcmp(header, "RIFF", 4) != 0 ||
      memcmp(header + 8, "WAVE", 4) != 0) {
    log_error("Not a RIFF/WAVE file!\n");
    return;
  }
  walk_chunks(in, reader.size, wav, comment);
}

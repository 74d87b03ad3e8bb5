// Ogg files: packets are assembled from the pages of the first logical
// stream (a packet may span many pages, a page may end many packets); the
// first packet names the codec and its stream parameters, the second holds
// the comments. The length comes from the granule position of the stream's
// last page, found in the file's tail.
#include "formats/ogg/ogg.h"

#include "formats/flac/flac.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/file_reads.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Page header: "OggS", version, flags, granule position (64-bit), stream
// serial number, page sequence number, checksum (32-bit each, all
// little-endian), segment count, then that many segment lengths.
constexpr size_t page_header_size = 27;
constexpr size_t max_page_size = page_header_size + 255 + 255 * 255;

// A header packet is kept up to this many bytes; the rest is stepped over.
// Comments with an embedded cover run to megabytes, and only the start of a
// picture is decoded, but every text before it is wanted.
constexpr size_t max_header_packet = 16 * 1024 * 1024;
// Pages read while looking for the two header packets. A comment packet of
// the size above split into the smallest pages needs about 66,000.
constexpr unsigned max_header_pages = 70000;

constexpr uint64_t no_granule = ~0ULL; // no packet ends on the page
constexpr uint32_t opus_rate = 48000;  // Opus always decodes at 48 kHz

struct page_reader {
  FILE *file = nullptr;
  uint64_t next_page = 0;     // offset of the next page header
  uint32_t serial = 0;        // the stream followed: the first page's
  bool have_serial = false;
  unsigned pages_left = max_header_pages;
  std::vector<unsigned char> lacing; // segment lengths of the current page
  size_t segment = 0;                // next segment of the current page
  uint64_t body = 0;                 // offset of that segment's bytes
};

uint64_t read_64_flip(const unsigned char *p) {
  return static_cast<uint64_t>(read_32_flip(p + 4)) << 32 | read_32_flip(p);
}

// Loads the next page of the followed stream; pages of other streams are
// stepped over.
bool next_page(page_reader *r) {
  for (;;) {
    if (r->pages_left == 0) {
      log_error("Too many ogg pages before the headers, giving up!\n");
      return false;
    }
    --r->pages_left;
    unsigned char header[page_header_size];
    if (!read_at(r->file, r->next_page, header, sizeof header) || memcmp(header, "OggS", 4) != 0) {
      log_error("Ogg page missing or cut short at 0x%llx!\n", static_cast<unsigned long long>(r->next_page));
      return false;
    }
    r->lacing.assign(header[26], 0);
    if (!read_at(r->file, r->next_page + page_header_size, r->lacing.data(), r->lacing.size())) {
      log_error("Ogg segment table cut short!\n");
      return false;
    }
    uint64_t body_size = 0;
    for (unsigned char length : r->lacing)
      body_size += length;
    uint32_t serial = read_32_flip(header + 14);
    r->body = r->next_page + page_header_size + r->lacing.size();
    r->next_page = r->body + body_size;
    r->segment = 0;
    if (!r->have_serial) {
      r->serial = serial;
      r->have_serial = true;
    }
    if (serial == r->serial)
      return true;
  }
}

// The next whole packet of the stream, its first `max_header_packet` bytes.
bool next_packet(page_reader *r, std::string *packet) {
  packet->clear();
  for (;;) {
    // A page may hold no segment at all.
    while (r->segment == r->lacing.size())
      if (!next_page(r))
        return false;
    size_t length = r->lacing[r->segment++];
    size_t keep = std::min(length, max_header_packet - std::min(max_header_packet, packet->size()));
    if (keep > 0) {
      size_t at = packet->size();
      packet->resize(at + keep);
      if (!read_at(r->file, r->body, &(*packet)[at], keep)) {
        log_error("Ogg packet cut short!\n");
        return false;
      }
    }
    r->body += length;
    // A segment shorter than 255 bytes ends its packet.
    if (length < 255)
      return true;
  }
}

// The granule position of the followed stream's last page, searched for in
// the file's last bytes: one page at most is that long, so the last page
// begins in them. Zero when there is none.
uint64_t last_granule(FILE *file, uint64_t file_size, uint32_t serial) {
  size_t size = static_cast<size_t>(std::min<uint64_t>(file_size, max_page_size));
  std::vector<unsigned char> tail(size);
  if (size < page_header_size || !read_at(file, file_size - size, tail.data(), size))
    return 0;
  for (size_t i = size - page_header_size + 1; i-- > 0;) {
    const unsigned char *p = tail.data() + i;
    if (memcmp(p, "OggS", 4) != 0 || p[4] != 0 || read_32_flip(p + 14) != serial)
      continue;
    uint64_t granule = read_64_flip(p + 6);
    if (granule != no_granule)
      return granule;
  }
  return 0;
}

enum class codec { vorbis, opus };

// The identification header: "\x01vorbis", version, channels, sample rate,
// maximum, nominal and minimum bitrates; or "OpusHead", version, channels,
// pre-skip, input sample rate, output gain (Q7.8 dB).
bool read_identification(const std::string &packet, json_object *vorbis, codec *kind, uint32_t *rate,
                         uint32_t *pre_skip) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(packet.data());
  if (packet.size() >= 30 && packet.compare(0, 7, "\x01vorbis") == 0) {
    *kind = codec::vorbis;
    *rate = read_32_flip(p + 12);
    add_field(vorbis, "codec", "vorbis");
    add_uint64_field(vorbis, "sampleRate", *rate);
    add_uint64_field(vorbis, "channels", p[11]);
    int32_t nominal = static_cast<int32_t>(read_32_flip(p + 20));
    if (nominal > 0)
      add_uint64_field(vorbis, "nominalBitrate", static_cast<uint32_t>(nominal));
    return true;
  }
  if (packet.size() >= 19 && packet.compare(0, 8, "OpusHead") == 0) {
    *kind = codec::opus;
    *rate = opus_rate;
    *pre_skip = read_16_flip(p + 10);
    add_field(vorbis, "codec", "opus");
    add_uint64_field(vorbis, "sampleRate", opus_rate);
    add_uint64_field(vorbis, "channels", p[9]);
    uint32_t input_rate = read_32_flip(p + 12);
    if (input_rate != 0)
      add_uint64_field(vorbis, "inputSampleRate", input_rate);
    add_uint64_field(vorbis, "preSkip", *pre_skip);
    add_field(vorbis, "outputGain", static_cast<int16_t>(read_16_flip(p + 16)) / 256.0);
    return true;
  }
  log_error("Ogg stream is neither vorbis nor opus!\n");
  return false;
}

} // namespace

void parse_ogg(const source_file &source, json_object *root, const char *) {
  offset_reader in;
  if (!open_offset_reader(source, &in))
    return;
  page_reader reader;
  reader.file = in.file;
  std::string packet;
  if (!next_packet(&reader, &packet))
    return;
  json_ptr vorbis(json_object_new_object());
  if (!json_is_created(vorbis.get()))
    return;
  codec kind = codec::vorbis;
  uint32_t rate = 0, pre_skip = 0;
  if (!read_identification(packet, vorbis.get(), &kind, &rate, &pre_skip))
    return;

  uint64_t granule = last_granule(reader.file, in.size, reader.serial);
  if (rate != 0 && granule > pre_skip)
    add_field(vorbis.get(), "duration", static_cast<double>(granule - pre_skip) / rate);

  const char *comment_magic = kind == codec::vorbis ? "\x03vorbis" : "OpusTags";
  const size_t magic_size = kind == codec::vorbis ? 7 : 8;
  if (next_packet(&reader, &packet)) {
    if (packet.size() >= magic_size && packet.compare(0, magic_size, comment_magic) == 0)
      read_vorbis_comments(reinterpret_cast<const unsigned char *>(packet.data()) + magic_size,
                           packet.size() - magic_size, vorbis.get());
    else
      log_error("Ogg comment header missing!\n");
  }
  json_object_object_add(root, "vorbis", vorbis.release());
}

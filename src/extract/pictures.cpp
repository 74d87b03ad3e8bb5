#include "extract/pictures.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// Covers of one MP4 item list that are listed: the covers of real files are
// one or two; the bound keeps a crafted chain of data boxes short.
constexpr int max_covers = 16;
constexpr size_t data_header_size = 16;

struct picture {
  int64_t offset;
  int64_t size;
  std::string mime; // "" when not known
  const char *kind;
};

bool int_member(json_object *obj, const char *key, int64_t *out) {
  json_object *value = json_object_object_get(obj, key);
  if (!json_object_is_type(value, json_type_int))
    return false;
  *out = json_object_get_int64(value);
  return true;
}

// ID3 picture types 3 and 4 are the front and back covers.
const char *id3_kind(json_object *picture) {
  int64_t type = -1;
  int_member(picture, "type", &type);
  return type == 3 ? "front" : type == 4 ? "back" : "other";
}

// The located pictures of a list of ID3 picture frames or of FLAC picture
// blocks, whose type is the ID3 picture type.
void located_pictures(json_object *frames, std::vector<picture> *out) {
  if (!json_object_is_type(frames, json_type_array))
    return;
  for (size_t i = 0; i < json_object_array_length(frames); ++i) {
    json_object *p = json_object_array_get_idx(frames, i);
    picture found{0, 0, "", id3_kind(p)};
    if (!int_member(p, "thumbOffset", &found.offset) || !int_member(p, "thumbSize", &found.size))
      continue;
    json_object *mime = json_object_object_get(p, "mime");
    if (json_object_is_type(mime, json_type_string))
      found.mime = json_object_get_string(mime);
    out->push_back(found);
  }
}

bool read_at(const source_file &source, unsigned char *bytes, size_t n, int64_t at) {
  return at >= 0 && source_read_at(source, static_cast<uint64_t>(at), bytes, n) == n;
}

// The MIME type of a cover by its data box's type indicator.
std::string cover_mime(uint32_t indicator) {
  switch (indicator) {
  case 13:
    return "image/jpeg";
  case 14:
    return "image/png";
  case 27:
    return "image/bmp";
  default:
    return "";
  }
}

uint32_t type_indicator(const unsigned char *header) { return read_32(header + 8) & 0xFFFFFF; }

// The record gives the first cover: its image follows a 16-byte data box
// header (size, "data", version, type indicator, locale). The item's
// further covers are the data boxes that follow it, one after another, each
// whole within the file.
void mp4_pictures(const source_file &source, json_object *mp4, std::vector<picture> *out) {
  int64_t offset, size;
  if (!int_member(mp4, "thumbOffset", &offset) || !int_member(mp4, "thumbSize", &size))
    return;
  unsigned char header[data_header_size];
  const bool typed = read_at(source, header, sizeof header, offset - static_cast<int64_t>(data_header_size)) &&
                     memcmp(header + 4, "data", 4) == 0;
  out->push_back({offset, size, typed ? cover_mime(type_indicator(header)) : "", "front"});
  if (!typed || size < 0)
    return;
  if (!source.stat_known)
    return;
  const struct stat &st = source.st;
  int64_t at = offset + size;
  for (int i = 1; i < max_covers && read_at(source, header, sizeof header, at) && memcmp(header + 4, "data", 4) == 0;
       ++i) {
    const uint32_t box_size = read_32(header);
    if (box_size < data_header_size || box_size > st.st_size - at)
      return;
    out->push_back({at + static_cast<int64_t>(data_header_size), static_cast<int64_t>(box_size) - 16,
                    cover_mime(type_indicator(header)), "front"});
    at += box_size;
  }
}

void exif_pictures(json_object *exif, std::vector<picture> *out) {
  int64_t offset, size;
  if (int_member(exif, "thumbOffset", &offset) && int_member(exif, "thumbLength", &size))
    out->push_back({offset, size, "image/jpeg", "thumbnail"});
}

} // namespace

void add_pictures(const source_file &source, json_object *root) {
  std::vector<picture> found;
  located_pictures(json_object_object_get(json_object_object_get(root, "id3"), "APIC"), &found);
  if (json_object *mp4 = json_object_object_get(root, "mp4"))
    mp4_pictures(source, mp4, &found);
  located_pictures(json_object_object_get(json_object_object_get(root, "flac"), "pictures"), &found);
  // A WAV file's ID3 chunk: its pictures' offsets count from the start of
  // the file.
  json_object *wav_id3 = json_object_object_get(json_object_object_get(root, "wav"), "id3");
  located_pictures(json_object_object_get(wav_id3, "APIC"), &found);
  if (json_object *exif = json_object_object_get(root, "exif"))
    exif_pictures(exif, &found);
  if (found.empty())
    return;
  std::stable_sort(found.begin(), found.end(), [](const picture &a, const picture &b) { return a.offset < b.offset; });
  json_ptr list(json_object_new_array());
  if (!json_is_created(list.get()))
    return;
  for (const picture &p : found) {
    json_ptr entry(json_object_new_object());
    if (!json_is_created(entry.get()))
      return;
    for (const auto &[key, value] : {std::make_pair("offset", p.offset), std::make_pair("size", p.size)}) {
      json_object *number = json_object_new_int64(value);
      if (json_is_created(number))
        json_object_object_add(entry.get(), key, number);
    }
    if (!p.mime.empty())
      add_field(entry.get(), "mime", p.mime.c_str());
    add_field(entry.get(), "kind", p.kind);
    if (json_object_array_add(list.get(), entry.get()) == 0)
      entry.release();
  }
  json_object_object_add(root, "pictures", list.release());
}

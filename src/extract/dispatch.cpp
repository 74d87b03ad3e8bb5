#include "extract/dispatch.h"
#include "extract/audio.h"
#include "extract/open_file.h"
#include "extract/pictures.h"
#include "extract/tags.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/flac/flac.h"
#include "formats/id3/id3.h"
#include "formats/image/image.h"
#include "formats/id3/mp3_audio.h"
#include "formats/mp4/mp4.h"
#include "formats/mp4/mp4_tracks.h"
#include "formats/ogg/ogg.h"
#include "formats/photo/photo.h"
#include "formats/playlist/playlist.h"
#include "formats/wav/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <strings.h>

namespace {

struct format_row {
  media_format format;
  const char *type;
  const char *subtype;
};

const format_row format_rows[] = {
    {media_format::unknown, "unknown", "unknown"}, {media_format::mp3, "audio", "mpeg3"},
    {media_format::m3u, "playlist", "m3u"},        {media_format::pls, "playlist", "pls"},
    {media_format::mp4, "container", "mpeg4"},     {media_format::wav, "audio", "wav"},
    {media_format::jpeg, "image", "jpeg"},         {media_format::bmp, "image", "bmp"},
    {media_format::png, "image", "png"},           {media_format::gif, "image", "gif"},
    {media_format::tiff, "image", "tiff"},
    {media_format::flac, "audio", "flac"},         {media_format::ogg, "audio", "ogg"},
    {media_format::opus, "audio", "opus"},         {media_format::webp, "image", "webp"},
    {media_format::heic, "image", "heic"},         {media_format::heif, "image", "heif"},
    {media_format::avif, "image", "avif"},
};

struct extension_row {
  const char *extension;
  media_format format;
};

const extension_row extension_rows[] = {
    {"mp3", media_format::mp3},   {"m3u", media_format::m3u},    {"m3u8", media_format::m3u},
    {"pls", media_format::pls},   {"3g2", media_format::mp4},    {"3gp", media_format::mp4},
    {"3gpp", media_format::mp4},  {"3gpp2", media_format::mp4},  {"aac", media_format::mp4},
    {"m4a", media_format::mp4},   {"m4v", media_format::mp4},    {"m4r", media_format::mp4},
    {"mp4", media_format::mp4},   {"mpa", media_format::mp4},    {"mpb", media_format::mp4},
    {"mpv", media_format::mp4},   {"wav", media_format::wav},    {"wv", media_format::wav},
    {"jfi", media_format::jpeg},  {"jfif", media_format::jpeg},  {"jif", media_format::jpeg},
    {"jpe", media_format::jpeg},  {"jpeg", media_format::jpeg},  {"jpg", media_format::jpeg},
    {"bmp", media_format::bmp},   {"png", media_format::png},    {"gif", media_format::gif},
    {"tiff", media_format::tiff}, {"tif", media_format::tiff},
    {"flac", media_format::flac}, {"ogg", media_format::ogg},    {"oga", media_format::ogg},
    {"opus", media_format::opus}, {"webp", media_format::webp},  {"heic", media_format::heic},
    {"heif", media_format::heif}, {"avif", media_format::avif},
};

// Signature rows, tried in order; `need` is how many bytes must have been read
// for the row to be tried at all. A row may ask for a second run of bytes.
struct signature_row {
  size_t need;
  size_t offset;
  const char *bytes;
  size_t length;
  media_format format;
  size_t offset2 = 0;
  const char *bytes2 = nullptr;
  size_t length2 = 0;
};

const signature_row signature_rows[] = {
    {8, 0, "\x89PNG\r\n\x1a\n", 8, media_format::png},
    // Still images in the MPEG-4 box format, by the file type box's major
    // brand, before the rule that takes any file type box as MPEG-4.
    {12, 4, "ftypheic", 8, media_format::heic},
    {12, 4, "ftypheix", 8, media_format::heic},
    {12, 4, "ftypheim", 8, media_format::heic},
    {12, 4, "ftypheis", 8, media_format::heic},
    {12, 4, "ftypmif1", 8, media_format::heif},
    {12, 4, "ftypavif", 8, media_format::avif},
    {8, 4, "ftyp", 4, media_format::mp4},
    {8, 0, "#EXTM3U", 7, media_format::m3u},
    {8, 0, "[playlis", 8, media_format::pls},
    {8, 0, "GIF8", 4, media_format::gif},
    {8, 0, "MM\0*", 4, media_format::tiff},
    {8, 0, "II*\0", 4, media_format::tiff},
    {3, 0, "ID3", 3, media_format::mp3},
    {2, 0, "\xff\xd8", 2, media_format::jpeg},
    {2, 0, "BM", 2, media_format::bmp},
    {4, 0, "fLaC", 4, media_format::flac},
    // An Ogg file's codec: the first packet begins the page's data, after
    // the 27-byte header and a segment table of one entry.
    {36, 0, "OggS", 4, media_format::opus, 28, "OpusHead", 8},
    {4, 0, "OggS", 4, media_format::ogg},
    {12, 0, "RIFF", 4, media_format::webp, 8, "WEBP", 4},
};

const format_row &row_of(media_format format) {
  for (const format_row &row : format_rows)
    if (row.format == format)
      return row;
  return format_rows[0];
}

void run_parser(media_format format, const source_file &file, json_object *root, const char *path, std::string *comment) {
  switch (format) {
  case media_format::mp3:
    parse_id3(file, root, path, comment);
    break;
  case media_format::m3u:
    parse_m3u(file, root, path);
    break;
  case media_format::pls:
    parse_pls(file, root, path);
    break;
  case media_format::mp4:
    parse_mp4(file, root);
    break;
  case media_format::jpeg:
    parse_exif(file, root, path);
    break;
  case media_format::tiff:
    parse_tiff(file, root, path);
    break;
  case media_format::wav:
    parse_wav(file, root, path, comment);
    break;
  case media_format::flac:
    parse_flac(file, root, path);
    break;
  case media_format::ogg:
  case media_format::opus:
    parse_ogg(file, root, path);
    break;
  case media_format::png:
    parse_png(file, root, path);
    break;
  case media_format::webp:
    parse_webp(file, root, path);
    break;
  case media_format::heic:
  case media_format::heif:
  case media_format::avif:
    parse_heif(file, root, path);
    break;
  default:
    break;
  }
}

// Moves `key` of `root`, when present, to the end of its members.
void move_to_end(json_object *root, const char *key) {
  json_object *value = json_object_object_get(root, key);
  if (value == nullptr)
    return;
  json_object_get(value);
  json_object_object_del(root, key);
  if (json_object_object_add(root, key, value) != 0)
    json_object_put(value);
}

// The members that follow "subtype": what the stream holds (the picture's
// header and the EXIF position, or the audio and video tracks), read apart
// from the format's own member, and the tags and pictures of the format's
// member under common names.
void add_stream_members(media_format format, const source_file &file, json_object *root, const std::string &comment) {
  const struct {
    media_format format;
    image_kind kind;
  } pictures[] = {{media_format::jpeg, image_kind::jpeg}, {media_format::png, image_kind::png},
                  {media_format::gif, image_kind::gif},   {media_format::bmp, image_kind::bmp},
                  {media_format::tiff, image_kind::tiff}};
  for (const auto &picture : pictures)
    if (picture.format == format)
      add_image_members(picture.kind, file, root);
  // The photo readers find the EXIF position (and all but JPEG's the
  // picture's size) while they read the file's EXIF block; those members
  // are moved behind "subtype".
  const bool photo = format == media_format::png || format == media_format::webp || format == media_format::heic ||
                     format == media_format::heif || format == media_format::avif;
  if (photo || format == media_format::jpeg)
    for (const char *key : {"image", "location"})
      move_to_end(root, key);
  const bool vorbis = format == media_format::flac || format == media_format::ogg || format == media_format::opus;
  if (format == media_format::mp3)
    add_mp3_audio(file, root);
  else if (format == media_format::mp4)
    add_mp4_tracks(file, root);
  else if (vorbis || format == media_format::wav)
    add_audio_from_record(root);
  if (format == media_format::mp3 || format == media_format::mp4 || format == media_format::wav || vorbis)
    add_tags(root, comment);
  if (format == media_format::mp3 || format == media_format::mp4 || format == media_format::jpeg ||
      format == media_format::flac || format == media_format::wav || photo)
    add_pictures(file, root);
}

} // namespace

media_format format_from_signature(const unsigned char *bytes, size_t n) {
  for (const signature_row &row : signature_rows) {
    if (n < row.need)
      continue;
    if (memcmp(bytes + row.offset, row.bytes, row.length) == 0 &&
        (row.bytes2 == nullptr || memcmp(bytes + row.offset2, row.bytes2, row.length2) == 0))
      return row.format;
  }
  return media_format::unknown;
}

media_format format_from_extension(const char *path) {
  const char *dot = strrchr(path, '.');
  // No dot, nothing after it, or the dot belongs to a directory name.
  if (dot == nullptr || dot[1] == '\0' || strchr(dot, '/') != nullptr)
    return media_format::unknown;
  for (const extension_row &row : extension_rows)
    if (strcasecmp(dot + 1, row.extension) == 0)
      return row.format;
  return media_format::unknown;
}

const char *format_type(media_format format) { return row_of(format).type; }
const char *format_subtype(media_format format) { return row_of(format).subtype; }

bool parse_file(const char *path, json_object *root, open_refusal *refusal, struct stat *opened) {
  open_refusal why = open_refusal::none;
  // The file's first bytes, read once: the signature, the size and the
  // first window of every stream over the file come from them.
  unsigned char head[head_bytes];
  source_file file;
  bool open = open_source_file(path, &why, head, sizeof head, &file);
  if (refusal != nullptr)
    *refusal = why;
  if (!open) {
    log_error("Failed to open file!\n");
    return false;
  }
  if (opened != nullptr)
    *opened = file.st;
  add_field(root, "returnValue", true);

  media_format format = media_format::unknown;
  if (file.head_length > 0) {
    format = format_from_signature(file.head, file.head_length);
    if (format == media_format::unknown)
      format = format_from_extension(path);
  }
  // Some taggers put an ID3 tag in front of a FLAC stream; a file so named
  // is looked at behind its tag.
  if (format == media_format::mp3 && format_from_extension(path) == media_format::flac && flac_follows_id3(file))
    format = media_format::flac;

  json_object *type = json_object_new_string(format_type(format));
  json_object *subtype = json_object_new_string(format_subtype(format));
  std::string comment;
  run_parser(format, file, root, path, &comment);

  if (json_is_created(type))
    json_object_object_add(root, "type", type);
  if (json_is_created(subtype))
    json_object_object_add(root, "subtype", subtype);
  add_stream_members(format, file, root, comment);
  fclose(file.stream);
  return true;
}

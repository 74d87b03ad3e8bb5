// JPEG files: the segment walk that finds each APP1 segment and the location
// of the EXIF thumbnail in it, followed by the conversion of every entry.
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/pread_stream.h"
#include "formats/image/exif_internal.h"
#include "formats/image/image.h"

#include <glib.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace {

constexpr int marker_soi = 0xFFD8;  // start of image: no length follows
constexpr int marker_eoi = 0xFFD9;  // end of image
constexpr int marker_sos = 0xFFDA;  // start of scan: entropy-coded data follows
constexpr int marker_app1 = 0xFFE1; // EXIF (or XMP) block

// The TIFF header starts after the "Exif\0\0" identifier of the payload.
constexpr long tiff_header_skip = 6;

using exif_data_ptr = std::unique_ptr<ExifData, fn_deleter<&exif_data_free>>;

// Reads a segment's length field and returns the payload length behind it;
// zero or less (logged) when the field is missing or counts no payload.
long read_payload_length(FILE *file) {
  long length = read_short(file) - 2;
  if (length <= 0)
    log_error("Marker size was too small!\n");
  return length;
}

bool skip_payload(FILE *file, long length) {
  if (fseek(file, length, SEEK_CUR) != 0) {
    log_error("Failed to seek to next marker %d\n", errno);
    return false;
  }
  return true;
}

// Adds the thumbnail keys for one APP1 payload that libexif found a
// thumbnail in. `tiff_header` is the absolute offset of its TIFF header.
void add_thumbnail(json_object *exif, const unsigned char *block, long length, long tiff_header,
                   ExifData *data) {
  add_field(exif, "JPEGInterchangeFormatLength", static_cast<int>(data->size));
  add_field(exif, "thumbLength", static_cast<int>(data->size));
  uint32_t offset = 0;
  if (!exif_find_thumbnail(block, static_cast<size_t>(length), exif_data_get_byte_order(data),
                           data->size, &offset))
    return;
  // The search keeps the thumbnail inside the block, so the stored offset is
  // below 65536; the absolute one is as far as the file goes.
  add_field(exif, "JPEGInterchangeFormat", static_cast<int>(offset));
  add_int64_field(exif, "thumbOffset", static_cast<int64_t>(tiff_header) + offset);
}

// Handles one APP1 segment, the file positioned at its length field. False
// when the walk cannot go on.
bool handle_app1(FILE *file, json_object *exif) {
  long length = read_payload_length(file);
  if (length <= 0)
    return false;
  g_autofree unsigned char *block = static_cast<unsigned char *>(g_try_malloc(static_cast<gsize>(length)));
  if (block == nullptr) {
    log_error("Failed to allocate exif buffer\n");
    return skip_payload(file, length);
  }
  long position = ftell(file);
  if (position < 0) {
    log_error("Couldnt get exif file position!\n");
    return false;
  }
  errno = 0;
  if (fread(block, 1, static_cast<size_t>(length), file) != static_cast<size_t>(length)) {
    log_error("Failed to read full exif data %d\n", errno);
    return false;
  }
  exif_data_ptr data(exif_load_as_stored(block, static_cast<unsigned int>(length)));
  if (!data) {
    log_error("Failed to parse image exif!\n");
    return true;
  }
  // XMP and other non-EXIF APP1 blocks end here: they carry no thumbnail.
  if (data->data == nullptr || data->size == 0)
    return true;
  if (static_cast<size_t>(length) < exif_min_block) {
    log_error("Exif info was too small!\n");
    return true;
  }
  add_thumbnail(exif, block, length, position + tiff_header_skip, data.get());
  return true;
}

// Walks the segments from the start of the file up to the image data. Every
// step reads two bytes or seeks forward, so the walk ends at the end of any
// file. Fill bytes and the 0xFF prefix are not checked: whatever stands where
// a marker is expected is taken as one.
void walk_segments(FILE *file, json_object *exif) {
  for (;;) {
    int marker = read_short(file);
    if (marker <= 0 || marker == marker_eoi || marker == marker_sos)
      return;
    if (marker == marker_soi)
      continue;
    if (marker == marker_app1) {
      if (!handle_app1(file, exif))
        return;
      continue;
    }
    long length = read_payload_length(file);
    if (length <= 0 || !skip_payload(file, length))
      return;
  }
}

} // namespace

int read_short(FILE *file) {
  unsigned char bytes[2];
  if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
    return -1;
  return bytes[0] << 8 | bytes[1];
}

void parse_exif(const source_file &source, json_object *root, const char * /*path*/) {
  FILE *file = source.stream;
  json_object *exif = json_object_new_object();
  if (!json_is_created(exif)) {
    log_error("Failed to allocate exif info object!\n");
    return;
  }
  // Added at once, so the record has "exif" whatever the passes find.
  json_object_object_add(root, "exif", exif);
  // The walk seeks past every segment; see pread_stream.h.
  file_ptr walked(pread_stream_open(source));
  walk_segments(walked ? walked.get() : file, exif);
  exif_add_entries(root, exif, source);
}

// The members of an image's record that follow "subtype": "image", the
// picture's width and height from its header, and "location", where a JPEG
// photo was taken by its EXIF GPS entries.
#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/pread_stream.h"
#include "formats/image/exif_internal.h"
#include "formats/image/image.h"


#include <libexif/exif-utils.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// JPEG frame headers: SOF0 to SOF15, except the three markers of that range
// that are no frame header (DHT, JPG and DAC).
constexpr int marker_sof0 = 0xFFC0, marker_sof15 = 0xFFCF;
constexpr int marker_dht = 0xFFC4, marker_jpg = 0xFFC8, marker_dac = 0xFFCC;
constexpr int marker_soi = 0xFFD8, marker_eoi = 0xFFD9, marker_sos = 0xFFDA;

// The IFD 0 entries of a TIFF file that give its size.
constexpr uint16_t tag_image_width = 0x0100, tag_image_length = 0x0101;
constexpr uint16_t format_short = 3, format_long = 4;

bool is_frame_header(int marker) {
  return marker >= marker_sof0 && marker <= marker_sof15 && marker != marker_dht && marker != marker_jpg &&
         marker != marker_dac;
}

// The JPEG segment walk up to the first frame header: the same walk as the
// EXIF pass (whatever stands where a marker is expected is taken as one),
// ending at the image data or the end of the image.
bool jpeg_size(FILE *file, image_size *size) {
  if (read_short(file) != marker_soi)
    return false;
  for (;;) {
    int marker = read_short(file);
    if (marker <= 0 || marker == marker_eoi || marker == marker_sos)
      return false;
    if (marker == marker_soi)
      continue;
    int length = read_short(file);
    if (length < 2)
      return false;
    if (is_frame_header(marker)) {
      // precision (1 byte), height (2), width (2)
      unsigned char header[5];
      if (length < 2 + 5 || fread(header, 1, sizeof header, file) != sizeof header)
        return false;
      *size = {read_16(header + 3), read_16(header + 1)};
      return true;
    }
    if (fseek(file, length - 2, SEEK_CUR) != 0)
      return false;
  }
}

// A TIFF file's IFD 0 ImageWidth and ImageLength, each a SHORT or a LONG.
bool tiff_size(const source_file &source, image_size *size) {
  unsigned char header[8];
  if (source_read_at(source, 0, header, sizeof header) != sizeof header)
    return false;
  bool intel = header[0] == 'I';
  auto u16 = [intel](const unsigned char *p) { return intel ? read_16_flip(p) : read_16(p); };
  auto u32 = [intel](const unsigned char *p) { return intel ? read_32_flip(p) : read_32(p); };
  off_t ifd = u32(header + 4);
  unsigned char count_field[2];
  if (source_read_at(source, ifd, count_field, 2) != 2)
    return false;
  std::vector<unsigned char> entries(12u * u16(count_field));
  if (source_read_at(source, ifd + 2, entries.data(), entries.size()) != entries.size())
    return false;
  int64_t width = -1, height = -1;
  for (size_t p = 0; p < entries.size(); p += 12) {
    uint16_t tag = u16(&entries[p]), format = u16(&entries[p + 2]);
    if ((tag != tag_image_width && tag != tag_image_length) || u32(&entries[p + 4]) < 1)
      continue;
    int64_t value = -1;
    if (format == format_short)
      value = u16(&entries[p + 8]);
    else if (format == format_long)
      value = u32(&entries[p + 8]);
    (tag == tag_image_width ? width : height) = value;
  }
  if (width < 0 || height < 0)
    return false;
  *size = {width, height};
  return true;
}

// The entry of `tag` in the GPS IFD of `data`, or null. libexif names the
// GPS tags by macros of plain numbers, since they share values with tags of
// other IFDs.
ExifEntry *gps_entry(ExifData *data, int tag) {
  return exif_content_get_entry(data->ifd[EXIF_IFD_GPS], static_cast<ExifTag>(tag));
}

// Degrees, minutes and seconds of a GPS coordinate as decimal degrees, signed
// by its reference letter (`negative` is the letter of the southern or
// western half); false when an entry is missing, malformed, has a zero
// denominator or gives more than `limit` degrees.
bool gps_coordinate(ExifData *data, int value_tag, int ref_tag, char positive, char negative, double limit,
                    double *out) {
  ExifEntry *value = gps_entry(data, value_tag), *ref = gps_entry(data, ref_tag);
  if (value == nullptr || ref == nullptr || value->format != EXIF_FORMAT_RATIONAL || value->components < 3 ||
      value->size < 3 * 8 || ref->format != EXIF_FORMAT_ASCII || ref->size < 1 || ref->data == nullptr)
    return false;
  char letter = static_cast<char>(ref->data[0]);
  if (letter != positive && letter != negative)
    return false;
  ExifByteOrder order = exif_data_get_byte_order(data);
  double degrees = 0, unit = 1;
  for (int i = 0; i < 3; ++i, unit *= 60) {
    ExifRational part = exif_get_rational(value->data + 8 * i, order);
    if (part.denominator == 0)
      return false;
    degrees += static_cast<double>(part.numerator) / part.denominator / unit;
  }
  if (!(degrees <= limit))
    return false;
  *out = letter == negative ? -degrees : degrees;
  return true;
}

// The altitude in metres, negative below sea level (reference 1); false when
// missing or malformed.
bool gps_altitude(ExifData *data, double *out) {
  ExifEntry *value = gps_entry(data, EXIF_TAG_GPS_ALTITUDE), *ref = gps_entry(data, EXIF_TAG_GPS_ALTITUDE_REF);
  if (value == nullptr || value->format != EXIF_FORMAT_RATIONAL || value->components < 1 || value->size < 8)
    return false;
  ExifRational metres = exif_get_rational(value->data, exif_data_get_byte_order(data));
  if (metres.denominator == 0)
    return false;
  bool below = ref != nullptr && ref->format == EXIF_FORMAT_BYTE && ref->size >= 1 && ref->data[0] == 1;
  *out = (below ? -1.0 : 1.0) * metres.numerator / metres.denominator;
  return true;
}

} // namespace

void add_image_size(json_object *root, const image_size &size) {
  if (size.width <= 0 || size.height <= 0)
    return;
  json_ptr image(json_object_new_object());
  if (!json_is_created(image.get()) || !add_int64_field(image.get(), "width", size.width) ||
      !add_int64_field(image.get(), "height", size.height))
    return;
  json_object_object_add(root, "image", image.release());
}

namespace {

void add_location(json_object *root, const gps_location &location) {
  json_ptr member(json_object_new_object());
  if (!json_is_created(member.get()) || !add_field(member.get(), "latitude", location.latitude) ||
      !add_field(member.get(), "longitude", location.longitude))
    return;
  if (location.has_altitude && !add_field(member.get(), "altitude", location.altitude))
    return;
  json_object_object_add(root, "location", member.release());
}

} // namespace

bool read_image_size(image_kind kind, const source_file &source, image_size *size) {
  // The fixed headers of PNG, GIF and BMP lie in their first 26 bytes.
  unsigned char header[26] = {};
  ssize_t got = kind == image_kind::jpeg || kind == image_kind::tiff ? 0 : source_read_at(source, 0, header, sizeof header);
  size_t n = got > 0 ? static_cast<size_t>(got) : 0;
  switch (kind) {
  case image_kind::jpeg: {
    file_ptr walked(pread_stream_open(source));
    if (!walked)
      return false;
    rewind(walked.get());
    return jpeg_size(walked.get(), size);
  }
  case image_kind::png:
    // The signature, then the first chunk, which must be the header: length
    // 13, "IHDR", width and height as 32-bit big-endian numbers.
    if (n < 24 || memcmp(header + 12, "IHDR", 4) != 0)
      return false;
    *size = {read_32(header + 16), read_32(header + 20)};
    return true;
  case image_kind::gif:
    // "GIF87a" or "GIF89a", then the logical screen's width and height.
    if (n < 10)
      return false;
    *size = {read_16_flip(header + 6), read_16_flip(header + 8)};
    return true;
  case image_kind::bmp: {
    // The file header (14 bytes), then the information header: its size
    // tells the old 12-byte layout of 16-bit sizes from the later ones of
    // signed 32-bit sizes, whose height is negative for a picture stored top
    // row first.
    if (n < 18)
      return false;
    uint32_t info = read_32_flip(header + 14);
    if (info == 12) {
      if (n < 22)
        return false;
      *size = {read_16_flip(header + 18), read_16_flip(header + 20)};
      return true;
    }
    if (info < 16 || n < 26)
      return false;
    int64_t height = static_cast<int32_t>(read_32_flip(header + 22));
    *size = {static_cast<int32_t>(read_32_flip(header + 18)), height < 0 ? -height : height};
    return true;
  }
  case image_kind::tiff:
    return tiff_size(source, size);
  }
  return false;
}

bool exif_gps_location(ExifData *data, gps_location *location) {
  if (data == nullptr || data->ifd[EXIF_IFD_GPS] == nullptr)
    return false;
  gps_location found{};
  if (!gps_coordinate(data, EXIF_TAG_GPS_LATITUDE, EXIF_TAG_GPS_LATITUDE_REF, 'N', 'S', 90, &found.latitude) ||
      !gps_coordinate(data, EXIF_TAG_GPS_LONGITUDE, EXIF_TAG_GPS_LONGITUDE_REF, 'E', 'W', 180, &found.longitude))
    return false;
  found.has_altitude = gps_altitude(data, &found.altitude);
  *location = found;
  return true;
}

void add_exif_location(json_object *root, ExifData *data) {
  gps_location location{};
  if (exif_gps_location(data, &location))
    add_location(root, location);
}

void add_image_members(image_kind kind, const source_file &source, json_object *root) {
  image_size size{};
  if (read_image_size(kind, source, &size))
    add_image_size(root, size);
}

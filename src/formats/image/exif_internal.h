// Pieces of the JPEG EXIF parser shared between its files and its tests.
#pragma once

#include "formats/image/image.h"

#include <json-c/json.h>
#include <libexif/exif-content.h>
#include <libexif/exif-data.h>
#include <libexif/exif-entry.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Two bytes of `file` as a big-endian value 0 to 65535, or -1 when two bytes
// cannot be read.
int read_short(FILE *file);

// Fields of an EXIF block in the byte order its TIFF header announces.
uint16_t read_16_local(ExifByteOrder order, const unsigned char *p);
uint32_t read_32_local(ExifByteOrder order, const unsigned char *p);

// Smallest APP1 payload the thumbnail search can start on: the six identifier
// bytes, the byte-order mark, 42 and the 32-bit offset of IFD 0.
constexpr size_t exif_min_block = 14;

// Follows the IFD chain of the APP1 payload `block` (`size` bytes, starting
// with the "Exif\0\0" identifier) to the thumbnail entry (tag 0x0201) and
// yields its value, the thumbnail's offset from the TIFF header. A thumbnail
// of `thumb_size` bytes at that offset must lie inside the block. Never reads
// outside the block; logs and returns false when no such entry is found.
bool exif_find_thumbnail(const unsigned char *block, size_t size, ExifByteOrder order, uint32_t thumb_size,
                         uint32_t *offset);

// User data of libexif's foreach callbacks while the entries are converted.
struct exif_walk_state {
  json_object *exif;        // receives one member per entry
  ExifByteOrder byte_order; // order of the loaded entries' data
  ExifIfd ifd;              // the IFD being converted
};

void handle_exif_content(ExifContent *content, void *state);
void handle_exif_content_entry(ExifEntry *entry, void *state);

// A new ExifData holding exactly the entries of `size` bytes of EXIF data (an
// APP1 payload or a whole JPEG), or null when none can be made. libexif's
// default option EXIF_DATA_OPTION_FOLLOW_SPECIFICATION is turned off before loading: it
// would add entries the data does not hold and change the ones it does.
ExifData *exif_load_as_stored(const unsigned char *data, unsigned int size);

// Adds `value` under `key` as a JSON integer of 64 bits: unsigned 32-bit EXIF
// values and file offsets do not always fit the 32-bit form of add_field.
bool add_int64_field(json_object *obj, const char *key, int64_t value);

// The EXIF block of the file as libexif's loader finds it, loaded as stored;
// null when the file has none. Read from the file's head and with pread: the
// position of the file's stream does not move.
ExifData *exif_load_from_source(const source_file &source);

// An image's size from its header.
struct image_size {
  int64_t width;
  int64_t height;
};
// The size `kind`'s header gives (JPEG: the first frame header of the
// segment walk; PNG: IHDR; GIF: the logical screen; BMP: the information
// header; TIFF: IFD 0's ImageWidth and ImageLength); false when the header
// is missing or cut short.
bool read_image_size(image_kind kind, const source_file &source, image_size *size);

// A position from the GPS IFD, in signed decimal degrees; the altitude, in
// metres and negative below sea level, where `has_altitude`.
struct gps_location {
  double latitude;
  double longitude;
  double altitude;
  bool has_altitude;
};
// False when latitude or longitude is missing, malformed (fewer than three
// rationals, a zero denominator, no N/S or E/W reference) or out of range.
bool exif_gps_location(ExifData *data, gps_location *location);

// Adds "image": {"width", "height"} to `root`; nothing unless both are
// positive.
void add_image_size(json_object *root, const image_size &size);
// Adds "location" to `root` from the GPS entries of `data` (may be null),
// when they give a position.
void add_exif_location(json_object *root, ExifData *data);

// Loads the EXIF block of the file and adds every entry it holds to `exif`,
// under libexif's name for its tag, and its GPS position to `root` as
// "location".
void exif_add_entries(json_object *root, json_object *exif, const source_file &source);

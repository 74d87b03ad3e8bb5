// Photos beyond JPEG: the EXIF block of PNG, WebP and HEIF/AVIF files, read
// into the same "exif" member as a JPEG's, and the texts of PNG files.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Each adds "exif" to `root` when the file holds an EXIF block, and
// "location" when its GPS entries give a position (and, for PNG, "png" when
// it holds texts; for WebP and HEIF, "image" with the picture's size). `source`'s stream is at offset 0 and stays open.
void parse_png(const source_file &source, json_object *root, const char *path);
void parse_webp(const source_file &source, json_object *root, const char *path);
void parse_heif(const source_file &source, json_object *root, const char *path);

// The canvas size a WebP file's first chunk gives (`id` its four-letter id,
// `p` the first `n` bytes of its payload): VP8X's canvas, or the size of
// the VP8L or VP8 (key frame) bitstream. False for any other chunk or one
// cut short.
bool webp_canvas_size(const unsigned char *id, const unsigned char *p, size_t n, int64_t *width, int64_t *height);

// Adds "exif" to `root` from a TIFF-headed EXIF block of `size` bytes that
// begins at file offset `tiff_offset`: the same keys as a JPEG's EXIF
// member, the thumbnail's location included.
void add_exif_block(json_object *root, const unsigned char *tiff, size_t size, uint64_t tiff_offset);

// Where the payload of the "Exif" item of a HEIF "meta" box lies in the
// file, from the box's payload (after its version and flags): found through
// the item information ("iinf") and item location ("iloc") boxes. False
// (logged) when there is no such item or its location cannot be used.
bool heif_exif_location(const unsigned char *meta, size_t size, uint64_t *offset, uint64_t *length);

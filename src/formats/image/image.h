// Images: JPEG EXIF entries with the thumbnail location, and TIFF.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Adds "exif" to `root`, and "location" where the EXIF GPS entries give a
// position (see add_image_members). `source`'s stream is at offset 0 and
// stays open; both passes read the file, never `path` (not used).
void parse_exif(const source_file &source, json_object *root, const char *path);
// Adds "tiff" to `root`.
void parse_tiff(const source_file &source, json_object *root, const char *path);

enum class image_kind { jpeg, png, gif, bmp, tiff };

// Adds the member that follows "subtype" in an image's record: "image",
// {"width", "height"} from the picture's header. A JPEG's "location",
// {"latitude", "longitude"} in signed decimal degrees and "altitude" in
// metres where the file holds one, comes from parse_exif's load of the EXIF
// block and is moved behind "image". `source` stays open; it is read
// whatever its stream's position.
void add_image_members(image_kind kind, const source_file &source, json_object *root);

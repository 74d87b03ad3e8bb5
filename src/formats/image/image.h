// Images: JPEG EXIF entries with the thumbnail location, and TIFF.
#pragma once

#include <json-c/json.h>

#include <cstdio>

// Adds "exif" to `root`. `file` is open at offset 0 and stays open; both
// passes read it through its descriptor, never `path` (not used).
void parse_exif(FILE *file, json_object *root, const char *path);
// Adds "tiff" to `root`.
void parse_tiff(FILE *file, json_object *root, const char *path);

// The "pictures" member: every picture a record locates, in file order, as
// {"offset", "size", "mime", "kind"}, whatever the format.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Adds "pictures" to `root` from the picture locations of its "id3", "mp4",
// "flac" or "exif" member, or of the "id3" of its "wav" member. For MP4 the type of each cover and any further covers
// are read from the file: a few 16-byte reads at the covers' data boxes.
void add_pictures(const source_file &source, json_object *root);

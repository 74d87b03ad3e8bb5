// Ogg Vorbis and Opus: the identification and comment headers of the first
// logical stream, and its duration from the last page's granule position.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Adds "vorbis" to `root` for an Ogg file whose first stream is Vorbis or
// Opus. `source`'s stream is at offset 0 and stays open.
void parse_ogg(const source_file &source, json_object *root, const char *path);

// MPEG-4 family: box walk, movie header, handlers, metadata items, cover art.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Adds "mp4" to `root`. `source`'s stream is at offset 0 and stays open.
void parse_mp4(const source_file &source, json_object *root);

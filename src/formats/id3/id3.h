// MP3: the ID3v2 tag and the location of its attached pictures.
#pragma once

#include <json-c/json.h>

#include <cstdio>

// Adds "id3" to `root`. `file` is open at offset 0 and stays open.
void parse_id3(FILE *file, json_object *root, const char *path);

// Playlists: M3U/M3U8 read line by line, PLS read as a key file.
#pragma once

#include <json-c/json.h>

#include <cstdio>

// Adds "m3u" to `root`. `file` is open at offset 0 and stays open.
void parse_m3u(FILE *file, json_object *root, const char *path);
// Adds "pls" to `root`.
void parse_pls(FILE *file, json_object *root, const char *path);

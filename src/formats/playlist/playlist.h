// Playlists: M3U/M3U8 read line by line, PLS read as a key file.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Neither kind of playlist is read past this many bytes: a bigger file is
// reported as too large instead of being parsed.
constexpr long playlist_size_limit = 131072;

// The UTF-8 byte-order mark that editors on some systems write at the start
// of a text file. It is not part of the playlist: both parsers skip it.
constexpr char utf8_bom[] = "\xEF\xBB\xBF";
constexpr size_t utf8_bom_length = sizeof utf8_bom - 1;

// Adds "m3u" to `root`: {"extended", "entries"}, or {"tooLarge": true}.
// `source`'s stream is at offset 0 and stays open; `path` is not used.
void parse_m3u(const source_file &source, json_object *root, const char *path);
// Adds "pls" to `root`: "Version", "NumberOfEntries"/"numberofentries" where
// present, then "entries"; on failure an "error" word. `source`'s stream is
// at offset 0 and stays open; `path` is not used.
void parse_pls(const source_file &source, json_object *root, const char *path);

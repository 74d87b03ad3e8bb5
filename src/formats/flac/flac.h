// FLAC: stream info, Vorbis comments and pictures of the metadata blocks.
// The comment and picture decoders are shared with the Ogg reader, which
// meets the same structures inside its packets.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Adds "flac" to `root`. `source`'s stream is at offset 0 and stays open.
void parse_flac(const source_file &source, json_object *root, const char *path);

// Whether the bytes right after the ID3v2 tag at the start of `source` are
// "fLaC": some taggers put an ID3 tag in front of a FLAC stream.
bool flac_follows_id3(const source_file &source);

// A comment list stops being read after this many fields. Each field costs a
// JSON value; real tags hold tens, a crafted block could hold millions.
constexpr uint32_t max_comment_fields = 10000;

// Reads a Vorbis comment list (vendor length and text, field count, fields;
// all lengths 32-bit little-endian) from `bytes` into `member`: "vendor",
// "comments" (keys upper-cased, one string per key or an array of strings
// for a repeated key), and under "pictures" the pictures a comment carries
// in base64 (METADATA_BLOCK_PICTURE, COVERART) with their size but no
// location, since their bytes are not in the file as-is. Reads nothing
// outside the `size` bytes; a length past them ends the list (logged).
void read_vorbis_comments(const unsigned char *bytes, size_t size, json_object *member);

// The fields of a picture block (every number 32-bit big-endian): type, MIME
// type, description, width, height, colour depth, palette size, data length,
// then the data.
struct picture_header {
  uint32_t type = 0;
  std::string mime;
  std::string description;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t data_length = 0;
  size_t data_start = 0; // offset of the data from the block's first byte
};

// Decodes the header of a picture block from its first `size` bytes; false
// (logged) when a field runs past them.
bool read_picture_header(const unsigned char *bytes, size_t size, picture_header *picture);

// A new picture object with "type", "mime", "description", "width" and
// "height"; null when it could not be made.
json_object *picture_object(const picture_header &picture);

// Adds `value` under `key` as a 64-bit JSON integer; false when not created.
bool add_uint64_field(json_object *obj, const char *key, uint64_t value);

// MP3: the ID3v2 tag and the location of its attached pictures.
#pragma once

#include "base/pread_stream.h"

#include <id3tag.h>
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Adds "id3" to `root`. `source`'s stream is at offset 0 and stays open. When
// `comment` is given, it receives the text of the tag's first comment frame
// ("COMM"), which the record leaves out; "" when there is none.
void parse_id3(const source_file &source, json_object *root, const char *path, std::string *comment = nullptr);

// Reads the tags through the library's own file access, on a duplicate of the
// file's descriptor, and maps their frames into `id3`. Pictures found this
// way get no location.
void parse_id3_file_only(const source_file &source, json_object *id3, std::string *comment = nullptr);

// Maps one frame the library parsed into `id3`: text frames as arrays of
// strings, URL frames as one string, "APIC" frames as picture objects.
void handle_id3_frame(id3_frame *frame, json_object *id3);

// A JSON string of the library's UCS-4 text, or null (logged). Null text gives
// null without a message.
json_object *build_child_from_ucs(const id3_ucs4_t *text);

// The synchsafe integer of four bytes: 7 low bits of each, most significant
// byte first; the high bits are ignored.
uint32_t sync_32(const unsigned char *p);

// A picture frame as the library decoded it: the picture object made for it
// in the record (null when none could be made) and the image bytes, which
// live as long as the library's tag.
struct id3_picture {
  json_object *object;
  const unsigned char *data;
  size_t length;
};

// Walks the frame headers of a whole tag held in `buffer` (file offset 0, the
// tag header included) and gives picture objects their "thumbOffset" and
// "thumbSize": the file offset and length of the image bytes. The k-th
// picture frame of the tag is the library's k-th, `decoded[k]`; it is located
// exactly when the file holds the image the library decoded, byte for byte,
// at the end of the frame. `tag_flags` are the flags of the library's parse
// of the same bytes. A version 2.2 tag's "PIC" frames get their picture
// objects made here (at most `v22_pictures` of them, as many as the library
// delivered), since the library misreads them.
void locate_apic_data(const unsigned char *buffer, size_t length, int tag_flags, json_object *id3,
                      const std::vector<id3_picture> &decoded, size_t v22_pictures);

// The picture objects of the version 2.2 tag at the start of the file behind
// `fd`, read frame by frame from the file: at most `pictures` of them, found
// among at most `frames` frames, without location.
void make_v22_pictures_from_file(int fd, size_t pictures, size_t frames, json_object *id3);

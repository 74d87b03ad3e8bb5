// MP3: the ID3v2 tag and the location of its attached pictures.
#pragma once

#include <id3tag.h>
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Adds "id3" to `root`. `file` is open at offset 0 and stays open. When
// `comment` is given, it receives the text of the tag's first comment frame
// ("COMM"), which the record leaves out; "" when there is none.
void parse_id3(FILE *file, json_object *root, const char *path, std::string *comment = nullptr);

// Reads the tags through the library's own file access, on a duplicate of the
// stream's descriptor, and maps their frames into `id3`. Pictures found this
// way get no location.
void parse_id3_file_only(FILE *file, json_object *id3, std::string *comment = nullptr);

// Maps one frame the library parsed into `id3`: text frames as arrays of
// strings, URL frames as one string, "APIC" frames as picture objects.
void handle_id3_frame(id3_frame *frame, json_object *id3);

// A JSON string of the library's UCS-4 text, or null (logged). Null text gives
// null without a message.
json_object *build_child_from_ucs(const id3_ucs4_t *text);

// The synchsafe integer of four bytes: 7 low bits of each, most significant
// byte first; the high bits are ignored.
uint32_t sync_32(const unsigned char *p);

// Walks the frame headers of a whole tag held in `buffer` (file offset 0, the
// tag header included) and gives the picture objects under "APIC" in `id3`
// their "thumbOffset" and "thumbSize": the file offset and length of the image
// bytes. `tag_flags` are the flags of the library's parse of the same bytes.
// A version 2.2 tag's "PIC" frames get their picture objects made here.
void locate_apic_data(const unsigned char *buffer, size_t length, int tag_flags, json_object *id3);

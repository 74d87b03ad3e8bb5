// The "tags" member: the common facts of a song or a film (title, artist,
// numbers...) under the same names whatever the format, read from the
// format's member of the same record.
#pragma once

#include <json-c/json.h>

#include <string>

// Adds "tags" to `root` from its "id3", "mp4", "flac", "vorbis" or "wav"
// member, when it gives any of them. `comment` is the ID3 tag's first
// comment (of an MP3 or of a WAV file's ID3 chunk), which "id3" leaves out.
void add_tags(json_object *root, const std::string &comment);

// The "audio" member of an MP3 file's record: how long it plays and how it
// is encoded, from the first MPEG audio frame after the ID3 tag.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>

// Adds "audio" ("duration" in seconds, "bitrate" in kbit/s, "sampleRate",
// "channels", "vbr") to `root` when the file holds MPEG audio frames. Reads
// the tag header, the last 128 bytes and a bounded window after the tag;
// the audio data itself is never scanned. `source`'s stream position is not used.
void add_mp3_audio(const source_file &source, json_object *root);

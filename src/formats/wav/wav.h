// WAV: the RIFF chunks that describe the audio, its INFO texts and an ID3
// tag stored in a chunk.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstdio>
#include <string>

// Adds "wav" to `root`. `source`'s stream is at offset 0 and stays open. When
// `comment` is given, it receives the first comment of an ID3 chunk's tag,
// which "id3" leaves out.
void parse_wav(const source_file &source, json_object *root, const char *path, std::string *comment = nullptr);

// The "audio" and "video" members of an MPEG-4 family file's record: the
// first sound track's duration, sample rate and channel count, and the first
// video track's size and duration. A walk of its own, bounded by every
// box's size, over moov/trak and the few boxes of a track it needs.
#pragma once

#include "base/pread_stream.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Adds "audio" ({"duration", "sampleRate", "channels"}) and "video"
// ({"width", "height", "duration"}) to `root`, each only with what the file
// gives. `source`'s stream position is not used.
void add_mp4_tracks(const source_file &source, json_object *root);

// Decoders of the payloads (the bytes after the box header), for the walk
// and its tests. Each is false when the payload is too short or holds no
// usable value.
// Media header "mdhd": duration over time scale, in seconds.
bool mp4_media_duration(const unsigned char *payload, size_t n, double *seconds);
// Edit list "elst": the summed length of its edits that show media (empty
// edits are pauses), in the movie's time units; 0 when it gives none. Only
// the first entries are read.
uint64_t mp4_edit_duration(const unsigned char *payload, size_t n);
// Track header "tkhd": the presentation width and height in whole pixels.
bool mp4_track_size(const unsigned char *payload, size_t n, int *width, int *height);
// Sample description "stsd" of a sound track: the first entry's sample rate
// and channel count (0 where the entry gives none).
bool mp4_sound_entry(const unsigned char *payload, size_t n, int *sample_rate, int *channels);

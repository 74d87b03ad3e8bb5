// The "audio" member of formats whose own member already holds the stream's
// parameters (FLAC, Ogg Vorbis and Opus, WAV): copied under the common names
// rather than read again.
#pragma once

#include <json-c/json.h>

// Adds "audio" to `root` from its "flac", "vorbis" or "wav" member: its
// "duration", "sampleRate", "channels", and for WAV the byte rate as
// "bitrate" in kbit/s. Nothing when the member gives neither a sample rate
// nor a duration.
void add_audio_from_record(json_object *root);

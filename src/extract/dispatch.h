// Format dispatch: the worker's single entry into extraction.
#pragma once

#include "extract/open_file.h"

#include <json-c/json.h>

#include <cstddef>

enum class media_format {
  unknown, mp3, m3u, pls, mp4, wav, jpeg, bmp, png, gif, tiff,
  flac, ogg, opus, webp, heic, heif, avif,
};

// Opens `path`, picks its format by leading bytes then by extension, runs the
// format's parser into `root` and adds "returnValue", "type" and "subtype".
// False (and `root` untouched) only when the file cannot be opened; then
// `*refusal`, when given, says why. `*opened`, when given, gets the fstat of
// the file parsed, so that its size and time describe that very file.
bool parse_file(const char *path, json_object *root, open_refusal *refusal = nullptr, struct stat *opened = nullptr);

// The longest signature: an Ogg page header with one segment and the codec
// name at the start of its packet.
constexpr size_t signature_bytes = 36;
// How much of a file is read at once when it is opened: enough for the
// headers of most files and the whole of small ones. Reading more costs
// every large file the copy while only some parsers need it: those read on
// in 64 KiB windows.
constexpr size_t head_bytes = 16 * 1024;

// The format the first `n` bytes of a file announce (at most
// `signature_bytes` are looked at), or unknown when no signature matches.
media_format format_from_signature(const unsigned char *bytes, size_t n);
// The format the extension of `path` names, ignoring letter case.
media_format format_from_extension(const char *path);

const char *format_type(media_format format);
const char *format_subtype(media_format format);

// Shared by the files of the ID3 module: the checks made before a tag is
// handed to libid3tag, for inputs on which the library is known to misbehave,
// and the undoing of unsynchronisation.
#pragma once

#include <cstddef>
#include <vector>

// A frame may declare any decompressed size, and the library allocates that
// much before it decompresses (up to 4 GiB for a version 2.3 frame). No real
// frame comes anywhere near this.
constexpr size_t id3_max_decompressed_frame = 16u * 1024 * 1024;

// Whether the whole tag in `tag` (header included) may be parsed by the
// library: false (logged) when a frame declares a decompressed size beyond
// the bound.
bool id3_tag_is_safe(const unsigned char *tag, size_t length);

// The same check for a tag at the start of the file behind `fd`, read frame
// header by frame header, for the library's own reading of the file. A
// version 2.3 tag stored unsynchronised cannot be walked in place and is
// refused. Tags the library finds elsewhere in the file are not checked.
bool id3_file_is_safe(int fd);

// A copy of a whole tag (header included) with the zero byte after every
// 0xFF removed, as a version 2.2 or 2.3 tag whose header flags it
// unsynchronised is read.
std::vector<unsigned char> id3_resynchronised(const unsigned char *tag, size_t length);

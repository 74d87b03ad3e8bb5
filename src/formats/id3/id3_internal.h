// Shared by the files of the ID3 module: the checks made before a tag is
// handed to libid3tag, for inputs on which the library is known to misbehave,
// and the undoing of unsynchronisation.
#pragma once

#include "base/json_helpers.h"

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
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
// version 2.3 tag stored unsynchronised is read whole and checked with the
// unsynchronisation undone (its frame sizes count those bytes). Tags the library finds elsewhere in the file
// are not checked.
bool id3_file_is_safe(int fd);

using id3_bytes = std::unique_ptr<unsigned char, fn_deleter<&g_free>>;

// The tag at the start of the file behind `fd` that ends at `end`, read whole
// (a file shorter than its tag gives the bytes it has, as the library gets
// them); null (logged) when it cannot be read. `length` gets the count.
id3_bytes id3_read_tag_start(int fd, uint64_t end, size_t *length);

// Bytes with the unsynchronisation undone (the zero byte after every 0xFF
// removed), and where zeros were removed, so that a stretch of the copy can be
// traced back to the bytes as stored.
struct id3_resynced {
  std::vector<unsigned char> bytes;
  // Ascending indices into `bytes`: a stored zero was removed just before
  // each of them.
  std::vector<size_t> removed_before;
};

// `length` bytes resynchronised, the first `keep` of them (a tag header)
// copied as they are. Versions 2.2 and 2.3 unsynchronise the tag as a whole
// and count frame sizes in the bytes resynchronised; version 2.4 does it
// frame by frame, within sizes as stored.
id3_resynced id3_resynchronise(const unsigned char *data, size_t length, size_t keep);

// The same done in place, for a tag too large to copy; returns the new
// length.
size_t id3_resynchronise_in_place(unsigned char *data, size_t length, size_t keep);

// The stored offset of the copy's range [begin, end) when the range is stored
// in one piece (no zero was removed inside it); false otherwise.
bool id3_stored_offset(const id3_resynced &copy, size_t begin, size_t end, uint64_t *stored);

// Reading a file where its structures lie, for the parsers that walk boxes,
// chunks, blocks or pages by their offsets.
#pragma once

#include "base/pread_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads `size` bytes at `offset`; false when the file holds fewer there.
bool read_at(FILE *file, uint64_t offset, void *bytes, size_t size);

// A stream that reads `file` with pread (see pread_stream.h), or `file`
// itself when none can be made, and the file's size.
struct offset_reader {
  file_ptr owned;
  FILE *file = nullptr;
  uint64_t size = 0;
};

// False (logged) when the file's size cannot be had.
bool open_offset_reader(const source_file &file, offset_reader *reader);

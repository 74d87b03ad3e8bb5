// Fixed-width integer readers over unaligned bytes, and the size of a file.
#pragma once

#include "base/pread_stream.h"

#include <cstdint>

uint32_t read_32(const unsigned char *p);      // big-endian
uint32_t read_32_flip(const unsigned char *p); // little-endian
uint16_t read_16(const unsigned char *p);      // big-endian
uint16_t read_16_flip(const unsigned char *p); // little-endian

// Size in bytes of the file (its fstat), or -1 with a log line.
int32_t get_file_size(const source_file &file);

// Reading helpers shared by the photo readers.
#pragma once

#include "base/file_reads.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// An EXIF block is read whole up to this size. A JPEG's is at most 64 KiB;
// other containers allow more, and a camera's, thumbnail included, stays
// far below this.
constexpr size_t max_exif_block = 4 * 1024 * 1024;

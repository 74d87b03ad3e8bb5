// Shared pieces of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A read-only stream over the bytes with a real descriptor behind it (a
// memfd), as the parsers get from the dispatch. Null if it can't be made.
FILE *fuzz_stream(const uint8_t *data, size_t size);

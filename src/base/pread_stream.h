// A read-only stream over another stream's descriptor that reads with pread
// and seeks without a system call. glibc makes an lseek on every fseek, even
// one inside its buffer, which made the box walk of an MP4 file cost about
// seventy system calls; over this stream the same walk costs one read per
// 64 KiB window of the file it visits.
#pragma once

#include "base/json_helpers.h"

#include <cstdio>
#include <memory>

// A new stream positioned where `file` is, reading the same file, or null
// when `file` has no descriptor (an in-memory stream) or memory runs out.
// Closing it leaves `file` and its descriptor open; `file`'s own position is
// not moved by reads on the new stream.
FILE *pread_stream_open(FILE *file);

using file_ptr = std::unique_ptr<FILE, fn_deleter<&fclose>>;

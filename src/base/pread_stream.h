// A read-only stream over a file's descriptor that reads with pread and
// seeks without a system call. glibc makes an lseek on every fseek, even one
// inside its buffer, which made the box walk of an MP4 file cost about
// seventy system calls; over this stream the same walk costs one read per
// 64 KiB window of the file it visits, and none within the file's first
// bytes when those were read already.
#pragma once

#include "base/json_helpers.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// A file as the parsers get it: a stream that reads it, its descriptor and
// fstat, and its first bytes when the opener read them already.
struct source_file {
  FILE *stream = nullptr;
  int fd = -1;
  struct stat st {};
  bool stat_known = false;             // `st` holds the descriptor's fstat
  const unsigned char *head = nullptr; // the file's first `head_length` bytes
  size_t head_length = 0;

  source_file() = default;
  // A caller's own stream (the tests and fuzz targets hand the parsers
  // these): its descriptor and fstat, no bytes read ahead.
  source_file(FILE *file); // NOLINT: converts implicitly on purpose
};

// Reads up to `size` bytes at `offset` of the file, those of its head from
// memory and the rest with pread; the count read, short only at the end of
// the file or on a failure.
size_t source_read_at(const source_file &file, uint64_t offset, void *bytes, size_t size);

// A new stream positioned where `file.stream` is, reading the same file
// (its first window the bytes already read), or null when the file has no
// descriptor (an in-memory stream) or memory runs out. Closing it leaves
// `file` open; `file.stream`'s own position is not moved by its reads.
FILE *pread_stream_open(const source_file &file);

// A stream at the start of the file open on `fd`, whose first `head_length`
// bytes are `head` (kept, not copied: they must outlive the stream) and whose
// fstat is `st`. Closing it closes `fd`. Null when memory runs out.
FILE *pread_stream_adopt(int fd, const struct stat &st, const unsigned char *head, size_t head_length);

using file_ptr = std::unique_ptr<FILE, fn_deleter<&fclose>>;

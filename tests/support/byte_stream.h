// A stream over bytes backed by a real descriptor (a memfd), as the parsers
// get from the dispatch, positioned at the start. The caller fcloses it.
// Shared by the tests and the fuzz targets.
#pragma once

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline FILE *stream_from_bytes(const std::string &bytes) {
  int fd = memfd_create("mediasift-test", MFD_CLOEXEC);
  FILE *file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fflush(file) != 0)
    abort();
  rewind(file);
  return file;
}

#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

FILE *fuzz_stream(const uint8_t *data, size_t size) {
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  FILE *file = fdopen(fd, "w+b");
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  if (fwrite(data, 1, size, file) != size || fflush(file) != 0) {
    fclose(file);
    return nullptr;
  }
  rewind(file);
  return file;
}

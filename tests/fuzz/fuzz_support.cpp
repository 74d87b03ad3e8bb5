#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

FILE *fuzz_stream(const uint8_t *data, size_t size) {
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  FILE *file = fdopen(fd, "rb");
  if (file == nullptr)
    close(fd);
  return file;
}

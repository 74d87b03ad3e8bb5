#include "base/pread_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// glibc drops a cookie stream's buffer on every seek, so the cookie keeps
// its own window of the file and serves glibc's refills from it. The window
// is big enough that a small file, or the boxes of a movie header, come in
// with one read; a seek far away costs one read of the window.
constexpr size_t window_size = 64 * 1024;
constexpr size_t stdio_buffer_size = 4 * 1024;

struct pread_cookie {
  int fd;
  off64_t position;     // where the stream reads next
  off64_t window_start; // file offset of window[0]
  size_t window_length; // bytes of the window that hold file data
  char stdio_buffer[stdio_buffer_size];
  char window[window_size];
};

ssize_t cookie_read(void *cookie, char *bytes, size_t size) {
  auto *c = static_cast<pread_cookie *>(cookie);
  if (c->position < c->window_start ||
      c->position >= c->window_start + static_cast<off64_t>(c->window_length)) {
    ssize_t n;
    do {
      n = pread(c->fd, c->window, sizeof c->window, c->position);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
      return n;
    c->window_start = c->position;
    c->window_length = static_cast<size_t>(n);
  }
  size_t offset = static_cast<size_t>(c->position - c->window_start);
  size_t n = c->window_length - offset < size ? c->window_length - offset : size;
  memcpy(bytes, c->window + offset, n);
  c->position += static_cast<off64_t>(n);
  return static_cast<ssize_t>(n);
}

int cookie_seek(void *cookie, off64_t *offset, int whence) {
  auto *c = static_cast<pread_cookie *>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) {
    base = c->position;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (fstat(c->fd, &st) != 0)
      return -1;
    base = st.st_size;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  // Like lseek: any place at or past the start, the end of the file included.
  if ((*offset > 0 && base > INT64_MAX - *offset) || base + *offset < 0) {
    errno = EINVAL;
    return -1;
  }
  c->position = base + *offset;
  *offset = c->position;
  return 0;
}

int cookie_close(void *cookie) {
  free(cookie);
  return 0;
}

} // namespace

FILE *pread_stream_open(FILE *file) {
  int fd = fileno(file);
  if (fd < 0)
    return nullptr;
  off64_t start = ftello64(file);
  if (start < 0)
    return nullptr;
  auto *cookie = static_cast<pread_cookie *>(malloc(sizeof(pread_cookie)));
  if (cookie == nullptr)
    return nullptr;
  cookie->fd = fd;
  cookie->position = start;
  cookie->window_start = 0;
  cookie->window_length = 0;
  cookie_io_functions_t functions = {cookie_read, nullptr, cookie_seek, cookie_close};
  FILE *stream = fopencookie(cookie, "rb", functions);
  if (stream == nullptr) {
    free(cookie);
    return nullptr;
  }
  // The buffer lives until the close callback frees it, which glibc calls
  // after its last use of the buffer.
  setvbuf(stream, cookie->stdio_buffer, _IOFBF, sizeof cookie->stdio_buffer);
  return stream;
}

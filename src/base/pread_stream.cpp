#include "base/pread_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// glibc drops a cookie stream's buffer on every seek, so the cookie keeps
// its own window of the file and serves glibc's refills from it. The window
// is big enough that a small file, or the boxes of a movie header, come in
// with one read; a seek far away costs one read of the window. The bytes
// the opener read at the start serve as a first window that is never
// dropped, and the own window is only made when a read leaves them.
constexpr size_t window_size = 64 * 1024;
// Small enough that the cookie, buffer included, is a small allocation: a
// request of a kilobyte or more makes glibc's malloc merge all its freed
// small chunks first, which cost more than the stream's whole use of a file.
constexpr size_t stdio_buffer_size = 512;

struct pread_cookie {
  int fd;
  bool owns_fd;
  off64_t size;         // the file's size, or -1 when an end-relative seek asks fstat
  off64_t position;     // where the stream reads next
  const char *head;     // the file's first head_length bytes, borrowed
  size_t head_length;
  char *window;         // own window, made on first use
  off64_t window_start; // file offset of window[0]
  size_t window_length; // bytes of the window that hold file data
  char stdio_buffer[stdio_buffer_size];
};
static_assert(sizeof(pread_cookie) < 1000, "a small allocation");

ssize_t serve(pread_cookie *c, const char *from, off64_t from_start, size_t from_length, char *bytes, size_t size) {
  size_t offset = static_cast<size_t>(c->position - from_start);
  size_t n = std::min(from_length - offset, size);
  memcpy(bytes, from + offset, n);
  c->position += static_cast<off64_t>(n);
  return static_cast<ssize_t>(n);
}

ssize_t cookie_read(void *cookie, char *bytes, size_t size) {
  auto *c = static_cast<pread_cookie *>(cookie);
  if (c->position < static_cast<off64_t>(c->head_length))
    return serve(c, c->head, 0, c->head_length, bytes, size);
  // Nothing lies past the end of a file of known size.
  if (c->size >= 0 && c->position >= c->size)
    return 0;
  if (c->window == nullptr || c->position < c->window_start ||
      c->position >= c->window_start + static_cast<off64_t>(c->window_length)) {
    if (c->window == nullptr && (c->window = static_cast<char *>(malloc(window_size))) == nullptr)
      return -1;
    ssize_t n;
    do {
      n = pread(c->fd, c->window, window_size, c->position);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
      return n;
    c->window_start = c->position;
    c->window_length = static_cast<size_t>(n);
  }
  return serve(c, c->window, c->window_start, c->window_length, bytes, size);
}

int cookie_seek(void *cookie, off64_t *offset, int whence) {
  auto *c = static_cast<pread_cookie *>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) {
    base = c->position;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (c->size >= 0)
      base = c->size;
    else if (fstat(c->fd, &st) != 0)
      return -1;
    else
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
  auto *c = static_cast<pread_cookie *>(cookie);
  int result = c->owns_fd ? close(c->fd) : 0;
  free(c->window);
  free(c);
  return result;
}

FILE *open_cookie(int fd, bool owns_fd, off64_t size, off64_t start, const unsigned char *head, size_t head_length) {
  auto *cookie = static_cast<pread_cookie *>(malloc(sizeof(pread_cookie)));
  if (cookie == nullptr)
    return nullptr;
  cookie->fd = fd;
  cookie->owns_fd = owns_fd;
  cookie->size = size;
  cookie->position = start;
  cookie->head = reinterpret_cast<const char *>(head);
  cookie->head_length = head_length;
  cookie->window = nullptr;
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

} // namespace

source_file::source_file(FILE *file) : stream(file), fd(fileno(file)) {
  stat_known = fd >= 0 && fstat(fd, &st) == 0;
}

size_t source_read_at(const source_file &file, uint64_t offset, void *bytes, size_t size) {
  auto *out = static_cast<unsigned char *>(bytes);
  size_t done = 0;
  if (offset < file.head_length) {
    done = std::min<uint64_t>(size, file.head_length - offset);
    memcpy(out, file.head + offset, done);
  }
  // Nothing lies past the end of a file whose size is known.
  while (done < size && file.fd >= 0 &&
         !(file.stat_known && offset + done >= static_cast<uint64_t>(file.st.st_size))) {
    ssize_t got = pread(file.fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += static_cast<size_t>(got);
  }
  return done;
}

FILE *pread_stream_open(const source_file &file) {
  if (file.fd < 0)
    return nullptr;
  off64_t start = ftello64(file.stream);
  if (start < 0)
    return nullptr;
  return open_cookie(file.fd, false, file.stat_known ? file.st.st_size : -1, start, file.head, file.head_length);
}

FILE *pread_stream_adopt(int fd, const struct stat &st, const unsigned char *head, size_t head_length) {
  return open_cookie(fd, true, st.st_size, 0, head, head_length);
}

#include "base/byte_readers.h"

#include "base/log.h"

uint32_t read_32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint32_t read_32_flip(const unsigned char *p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

uint16_t read_16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint16_t read_16_flip(const unsigned char *p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

int32_t get_file_size(const source_file &file) {
  if (!file.stat_known) {
    log_error("Failed to get file stat.\n");
    return -1;
  }
  const struct stat &st = file.st;
  // The size is a signed 32-bit number; a larger file reads as the largest
  // such size rather than wrapping to a negative (error-looking) value.
  if (st.st_size > INT32_MAX)
    return INT32_MAX;
  return static_cast<int32_t>(st.st_size);
}

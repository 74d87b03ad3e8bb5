#include "base/file_reads.h"

#include "base/log.h"

bool read_at(FILE *file, uint64_t offset, void *bytes, size_t size) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && fread(bytes, 1, size, file) == size;
}

bool open_offset_reader(const source_file &file, offset_reader *reader) {
  if (!file.stat_known) {
    log_error("Failed to get file stat.\n");
    return false;
  }
  reader->size = static_cast<uint64_t>(file.st.st_size);
  reader->owned.reset(pread_stream_open(file));
  reader->file = reader->owned ? reader->owned.get() : file.stream;
  return true;
}

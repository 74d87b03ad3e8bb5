// The worker's request-line parsing over arbitrary bytes: never a read past
// the line, and a path always inside it.
#include "worker/request_line.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  line.resize(strlen(line.c_str())); // the channel hands over a C string
  long long id = 0;
  const char *path = nullptr;
  char *buffer = line.data();
  if (parse_request_line(buffer, &id, &path) == request_shape::file) {
    if (path <= buffer || path > buffer + strlen(buffer) || *path == '\0')
      abort();
    std::string answer = format_answer(id, "{}", 0, 0);
    if (answer.back() != '\n')
      abort();
  }
  return 0;
}

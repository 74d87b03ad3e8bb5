// build_utf8_string_child over arbitrary bytes: the result is always valid
// UTF-8 and nothing past the terminating zero is read.
#include "base/json_helpers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An exact-size heap copy, so a read past the zero is caught by ASan.
  char *text = static_cast<char *>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';
  json_ptr value(build_utf8_string_child(text));
  if (!json_is_created(value.get()) || !g_utf8_validate(json_object_get_string(value.get()), -1, nullptr))
    abort();
  free(text);
  return 0;
}

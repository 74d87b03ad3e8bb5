// The PLS parser over arbitrary bytes: it always adds a "pls" object, whose
// entries never outnumber what the input has room for.
#include "base/json_helpers.h"
#include "formats/playlist/playlist.h"
#include "fuzz_support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return 0;
  json_ptr root(json_object_new_object());
  parse_pls(file, root.get(), "fuzz.pls");
  fclose(file);
  json_object *pls = nullptr;
  if (!json_object_object_get_ex(root.get(), "pls", &pls))
    abort();
  json_object *entries = nullptr;
  if (json_object_object_get_ex(pls, "entries", &entries) && json_object_array_length(entries) > size / 6)
    abort();
  if (!g_utf8_validate(json_object_to_json_string(root.get()), -1, nullptr))
    abort();
  return 0;
}

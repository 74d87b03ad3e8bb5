// Shared pieces of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <json-c/json.h>

// A read-only stream over the bytes with a real descriptor behind it (a
// memfd), as the parsers get from the dispatch. Null if it can't be made.
FILE *fuzz_stream(const uint8_t *data, size_t size);

// Runs `parse(file, root)` over a stream of the bytes, hands the record to
// `check` (which aborts on what must not happen) and writes it out as text,
// which every member must survive.
template <typename Parse, typename Check>
void fuzz_parse(const uint8_t *data, size_t size, Parse parse, Check check) {
  FILE *file = fuzz_stream(data, size);
  if (file == nullptr)
    return;
  json_object *root = json_object_new_object();
  parse(file, root);
  fclose(file);
  check(root);
  json_object_to_json_string(root);
  json_object_put(root);
}

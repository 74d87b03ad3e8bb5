// Byte builders for MPEG-4 boxes and a runner that returns the "mp4" object.
#pragma once

#include "formats/mp4/mp4.h"
#include "support/test_support.h"

#include <cstdint>
#include <string>

inline std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

inline std::string be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(static_cast<uint32_t>(v)); }

// A box with a 32-bit size; `code` is its four bytes ("\xa9nam" for title).
inline std::string box(const std::string &code, const std::string &payload) {
  return be32(static_cast<uint32_t>(8 + payload.size())) + code + payload;
}

// A "data" box: type indicator (1 text, 0 integer, 13 JPEG...), locale 0.
inline std::string data_box(uint32_t indicator, const std::string &payload) {
  return box("data", be32(indicator) + be32(0) + payload);
}

inline std::string text_item(const std::string &code, const std::string &text) {
  return box(code, data_box(1, text));
}

// moov/udta/meta/ilst around `items`.
inline std::string item_list(const std::string &items) {
  return box("udta", box("meta", std::string(4, '\0') + box("ilst", items)));
}

// A track whose media handler has the given type.
inline std::string track(const std::string &handler_type) {
  std::string hdlr = box("hdlr", std::string(8, '\0') + handler_type + std::string(12, '\0') + "x");
  return box("trak", box("mdia", hdlr));
}

// Runs parse_mp4 over `bytes` and returns its "mp4" member as plain JSON text.
inline std::string mp4_of(const std::string &bytes) {
  FILE *file = stream_from_bytes(bytes);
  if (file == nullptr)
    return "no stream";
  json_ptr root(json_object_new_object());
  parse_mp4(file, root.get());
  fclose(file);
  json_object *mp4 = json_object_object_get(root.get(), "mp4");
  return mp4 ? json_object_to_json_string_ext(mp4, JSON_C_TO_STRING_PLAIN) : "no mp4";
}

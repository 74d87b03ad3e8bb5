// The MPEG-4 box walk and the handlers it calls for the boxes it recognises.
// Everything found goes flat into one "mp4" object.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <cstdio>

// A four-character box code as it is compared: read big-endian, so the first
// character is the most significant byte.
constexpr uint32_t box_code(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[3]));
}

// Where in the box tree a walk is. A container sets the level of its nested
// walk; every walk puts its own level back after each box it handled.
enum : int32_t {
  level_top = 1,  // the top level of the file
  level_moov = 2, // moov
  level_trak = 4, // moov/trak
  level_mdia = 5, // moov/trak/mdia
  level_udta = 6, // moov/udta
  level_meta = 7, // moov/udta/meta
  level_ilst = 8, // moov/udta/meta/ilst (the item list)
};

// Box headers one parse may read over all its walks. Nested walks run on to
// the end of the file, so crafted nesting multiplies the headers read; real
// files, even fragmented ones with tens of thousands of top-level boxes,
// stay far below this.
constexpr uint32_t max_box_headers = 1000000;

// One record per parse, shared by all of its walks.
struct parse_state {
  int32_t level = level_top;
  uint32_t headers_left = max_box_headers;
  bool gave_up = false; // the header budget ran out (logged once)
};

// Walks the boxes from the current position to the end of the file (or the
// first box it cannot step over), entering the containers the level allows.
void process_boxes(FILE *file, json_object *mp4, parse_state *state);

// Item handlers: `file` is positioned just after the item box's header, at
// the header of its first child, which must be a "data" box. Each adds at
// most one value and may leave the position anywhere.
void process_data_box_text(FILE *file, json_object *mp4, unsigned int code);
void process_data_box_numeric(FILE *file, json_object *mp4, unsigned int code);
void process_data_box_covr(FILE *file, json_object *mp4);

// Adds `value` (when created) to `obj` under the four letters of `code`,
// each byte that is not an ASCII letter written as '_' (0xA9 "nam" -> "_nam").
// The reference of `value` passes to `obj`.
void add_box_to_root(json_object *obj, unsigned int code, json_object *value);

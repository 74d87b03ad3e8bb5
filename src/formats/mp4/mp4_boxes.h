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

// The walk's cost is bounded three ways, so that no crafted file costs more
// than a few tens of milliseconds while every real file is read whole.
//
// Box headers one parse may read over all its walks, about 100 ns each. A
// real file's walks read its top-level boxes, the children of the few
// containers on the paths they enter and a few boxes past each container
// (below): at most tens of thousands of headers, for a recording of hours in
// fragments of a second.
constexpr uint32_t max_box_headers = 100000;

// Headers far from the ones read before: the file is read through a stream
// that fills a 64 KiB window around a position it does not hold yet, so each
// such header costs a read of 64 KiB. A real file's metadata sits in its
// movie box; the walk jumps far only over media data, large track boxes and
// fragments, a few dozen times for a movie. Fragmented recordings have their
// movie box first, and with the bound below the walks inside it end before
// the top-level walk reaches the fragments: stopped among them, the walk has
// found everything.
constexpr uint32_t window_size = 64 * 1024;
constexpr uint32_t max_window_reads = 1024;

// A nested walk goes on past the end of the container it entered, over the
// boxes that follow (a "udta" box after "moov" at the top level is entered
// that way), for at most this many boxes. Without a bound every container
// made its walk re-read the rest of the file: crafted runs of empty
// containers cost a number of headers growing with the square of their count.
constexpr uint32_t max_boxes_past_container = 16;

// One record per parse, shared by all of its walks.
struct parse_state {
  int32_t level = level_top;
  uint32_t headers_left = max_box_headers;
  uint32_t window_reads_left = max_window_reads;
  int64_t window_start = -1; // where the last far header was read; -1 before any
  bool gave_up = false;      // a budget ran out (logged once)
};

// Walks the boxes from the current position to the end of the file (or the
// first box it cannot step over), entering the containers the level allows.
// Past `container_end`, the end of the container whose children it walks,
// it visits at most max_boxes_past_container boxes; the top-level walk has
// no container and passes the largest file offset.
void process_boxes(FILE *file, json_object *mp4, parse_state *state, int64_t container_end);

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

// The box walk of MPEG-4 family files, the movie header and the media handler.
#include "formats/mp4/mp4.h"
#include "formats/mp4/mp4_boxes.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"
#include "base/pread_stream.h"

#include <sys/types.h>

#include <limits>

// Media data boxes of recordings pass 4 GiB: positions must be 64-bit.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace {

constexpr off_t max_offset = std::numeric_limits<off_t>::max();

struct box_header {
  uint64_t size = 0;    // whole box, header included
  uint32_t code = 0;
  bool to_end = false;  // size field 0: the box runs to the end of the file
};

enum class header_read { ok, end, bad };

// Reads the header at `start`: 8 bytes, or 16 when the size field is 1 and
// a 64-bit size follows the code. Logs and answers `bad` for a header that
// is cut short or too small to hold itself.
header_read read_box_header(FILE *file, off_t start, box_header *header) {
  unsigned char bytes[16];
  size_t n = fread(bytes, 1, 8, file);
  if (n == 0)
    return header_read::end;
  if (n < 8) {
    log_error("Incomplete mp4 box! at 0x%lx\n", static_cast<unsigned long>(start));
    return header_read::bad;
  }
  header->size = read_32(bytes);
  header->code = read_32(bytes + 4);
  if (header->size == 1) {
    if (fread(bytes + 8, 1, 8, file) < 8) {
      log_error("Incomplete mp4 box! at 0x%lx\n", static_cast<unsigned long>(start));
      return header_read::bad;
    }
    header->size = static_cast<uint64_t>(read_32(bytes + 8)) << 32 | read_32(bytes + 12);
    if (header->size < 16) {
      log_error("Invalid mp4 box, size small! %ld\n", static_cast<long>(start));
      return header_read::bad;
    }
  } else if (header->size == 0) {
    header->to_end = true;
  } else if (header->size < 8) {
    log_error("Invalid mp4 box, size small! %ld\n", static_cast<long>(start));
    return header_read::bad;
  }
  return header_read::ok;
}

// The movie header in its two layouts. Version 1 widens the creation and
// modification times and the duration to 64 bits, which moves every later
// field by 12 bytes.
struct header_field {
  const char *key;
  size_t offset;
  size_t width;
};
constexpr size_t movie_header_v0_size = 100;
constexpr size_t movie_header_v1_size = 112;
constexpr header_field movie_header_v0[] = {
    {"creationTime", 4, 4}, {"modificationTime", 8, 4}, {"timeScale", 12, 4},     {"duration", 16, 4},
    {"previewTime", 72, 4}, {"previewDuration", 76, 4}, {"posterTime", 80, 4},
};
constexpr header_field movie_header_v1[] = {
    {"creationTime", 4, 8}, {"modificationTime", 12, 8}, {"timeScale", 20, 4},    {"duration", 24, 8},
    {"previewTime", 84, 4}, {"previewDuration", 88, 4},  {"posterTime", 92, 4},
};

// Reads the movie header's payload (not limited to the box: a box too small
// for it takes the following bytes) and adds its times under "mvhd".
void read_movie_header(FILE *file, json_object *mp4) {
  unsigned char payload[movie_header_v1_size];
  size_t n = fread(payload, 1, movie_header_v0_size, file);
  bool version_1 = n == movie_header_v0_size && payload[0] == 1;
  size_t needed = version_1 ? movie_header_v1_size : movie_header_v0_size;
  if (version_1)
    n += fread(payload + n, 1, needed - n, file);
  // A header at the very end of the file reads nothing: it is as short as
  // any other truncated one.
  if (n < needed) {
    log_error("MVHD box not big enough!\n");
    return;
  }
  json_object *header = json_object_new_object();
  if (!json_is_created(header))
    return;
  for (const header_field &field : version_1 ? movie_header_v1 : movie_header_v0) {
    const unsigned char *p = payload + field.offset;
    uint64_t value = field.width == 8 ? static_cast<uint64_t>(read_32(p)) << 32 | read_32(p + 4) : read_32(p);
    add_field(header, field.key, static_cast<double>(value));
  }
  add_box_to_root(mp4, box_code("mvhd"), header);
}

// A track's media handler: appends "audio" or "video" to "HDLR" for a sound
// or video track. The array is made first, so even a failing box leaves it.
void read_media_handler(FILE *file, json_object *mp4) {
  json_object *handlers = build_child_array_or_return(mp4, "HDLR");
  if (handlers == nullptr || !json_object_is_type(handlers, json_type_array)) {
    log_error("Failed to make array node!\n");
    return;
  }
  // version (1), flags (3), a field not used here (4), handler type (4)
  unsigned char payload[12];
  if (fread(payload, 1, sizeof payload, file) < sizeof payload) {
    log_error("HDLR box not big enough!\n");
    return;
  }
  if (payload[0] != 0) {
    log_error("MDLR version unrecognized!\n");
    return;
  }
  const char *kind = nullptr;
  switch (read_32(payload + 8)) {
  case box_code("soun"):
    kind = "audio";
    break;
  case box_code("vide"):
    kind = "video";
    break;
  default:
    return;
  }
  json_object *value = json_object_new_string(kind);
  if (json_is_created(value) && json_object_array_add(handlers, value) != 0)
    json_object_put(value);
}

void enter(FILE *file, json_object *mp4, parse_state *state, int32_t level, int64_t end) {
  state->level = level;
  process_boxes(file, mp4, state, end);
}

// Takes one header from the budgets; false (logged once per parse) when one
// of them has run out. A header outside the window of the last far one
// costs a window read.
bool charge_header(parse_state *state, off_t start) {
  bool far = state->window_start < 0 || start < state->window_start || start - state->window_start >= window_size;
  if (state->headers_left == 0 || (far && state->window_reads_left == 0)) {
    if (!state->gave_up)
      log_error("Too many mp4 boxes, giving up!\n");
    state->gave_up = true;
    return false;
  }
  --state->headers_left;
  if (far) {
    --state->window_reads_left;
    state->window_start = start;
  }
  return true;
}

// Acts on one box, the file positioned just after its header; `end` is where
// the box ends. Containers are entered only on their path from the top
// (moov/trak/mdia, moov/udta/meta/ilst); items are handled wherever a walk
// meets them, except the cover, which belongs to the item list.
void dispatch_box(FILE *file, json_object *mp4, parse_state *state, uint32_t code, int64_t end) {
  const int32_t level = state->level;
  switch (code) {
  case box_code("moov"):
    if (level <= level_top)
      enter(file, mp4, state, level_moov, end);
    break;
  case box_code("trak"):
    if (level == level_moov)
      enter(file, mp4, state, level_trak, end);
    break;
  case box_code("mdia"):
    if (level == level_trak)
      enter(file, mp4, state, level_mdia, end);
    break;
  case box_code("udta"):
    if (level == level_moov)
      enter(file, mp4, state, level_udta, end);
    break;
  case box_code("meta"):
    if (level == level_udta) {
      state->level = level_meta;
      // "meta" is a full box: its version and flags come before the children.
      if (fseeko(file, 4, SEEK_CUR) != 0)
        log_error("Failed to skip moov.udta.meta extra data!\n");
      else
        process_boxes(file, mp4, state, end);
    }
    break;
  case box_code("ilst"):
    if (level == level_meta)
      enter(file, mp4, state, level_ilst, end);
    break;
  case box_code("mvhd"):
    if (level == level_moov)
      read_movie_header(file, mp4);
    break;
  case box_code("hdlr"):
    if (level == level_mdia)
      read_media_handler(file, mp4);
    break;
  case box_code("covr"):
    if (level == level_ilst)
      process_data_box_covr(file, mp4);
    break;
  case box_code("aART"):
  case box_code("catg"):
  case box_code("cprt"):
  case box_code("desc"):
  case box_code("keyw"):
  case box_code("purd"):
  case box_code("tven"):
  case box_code("tvnn"):
  case box_code("tvsh"):
    process_data_box_text(file, mp4, code);
    break;
  case box_code("disk"):
  case box_code("gnre"):
  case box_code("trkn"):
    process_data_box_numeric(file, mp4, code);
    break;
  default:
    if (code >> 24 == 0xA9) // the (c)-prefixed text items: title, artist...
      process_data_box_text(file, mp4, code);
    break;
  }
}

} // namespace

void process_boxes(FILE *file, json_object *mp4, parse_state *state, int64_t container_end) {
  for (uint32_t past_end = 0;;) {
    const off_t start = ftello(file);
    if (start < 0) {
      log_error("Error getting file position!\n");
      return;
    }
    if (start >= container_end && past_end++ == max_boxes_past_container)
      return;
    if (!charge_header(state, start))
      return;
    box_header header;
    if (read_box_header(file, start, &header) != header_read::ok)
      return;

    // A box running to the end of the file, or past the largest position a
    // file can have, leaves nothing after it for this walk.
    const bool last = header.to_end || header.size > static_cast<uint64_t>(max_offset - start);
    const int64_t end = last ? max_offset : start + static_cast<off_t>(header.size);
    const int32_t level = state->level;
    dispatch_box(file, mp4, state, header.code, end);
    state->level = level;
    if (last)
      return;
    // One absolute seek to the box's end: every seek costs a system call.
    if (fseeko(file, end, SEEK_SET) != 0) {
      log_error("Failed to jump to end of box!\n");
      return;
    }
  }
}

void parse_mp4(const source_file &source, json_object *root) {
  FILE *file = source.stream;
  json_object *made = json_object_new_object();
  if (!json_is_created(made)) {
    log_error("Failed to allocate mp4 metadata info!\n");
    return;
  }
  json_ptr mp4(made);
  parse_state state;
  state.level = level_top;
  // The walk seeks at every box; it runs over a stream whose seeks cost no
  // system call. A stream without a descriptor is walked as it is.
  file_ptr walked(pread_stream_open(source));
  process_boxes(walked ? walked.get() : file, mp4.get(), &state, max_offset);
  json_object_object_add(root, "mp4", mp4.release());
}

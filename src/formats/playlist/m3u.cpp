// M3U and M3U8 playlists: one entry per line that is not blank and does not
// begin with "#"; an "#EXTINF:<seconds>,<title>" line gives the next entry its
// time and title. Bytes are taken as they are; every string goes through
// build_utf8_string_child, so text that is not UTF-8 comes out escaped.
#include "formats/playlist/playlist.h"

#include "base/json_helpers.h"
#include "base/log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// One line is read into a buffer of this size; a longer line arrives in
// pieces of at most line_buffer_size - 1 bytes, each handled as a line.
constexpr size_t line_buffer_size = 65536;

constexpr char extended_header[] = "#EXTM3U";
constexpr size_t extended_header_length = sizeof extended_header - 1;
constexpr char track_info[] = "#EXTINF:";
constexpr size_t track_info_length = sizeof track_info - 1;

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// Reads one line the way fgets(buffer, line_buffer_size, file) does: up to
// and including a line feed, at most line_buffer_size - 1 bytes, always
// zero-terminated. It also reports how many bytes it took from the stream,
// zero bytes inside the line included, so that reading can be bounded by the
// bytes actually read and not only by the size reported before reading.
// False at the end of input and on a read error, as with fgets.
bool read_line(FILE *file, char *buffer, size_t *taken) {
  size_t n = 0;
  while (n + 1 < line_buffer_size) {
    int c = getc(file);
    if (c == EOF)
      break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n')
      break;
  }
  buffer[n] = '\0';
  *taken = n;
  return n > 0 && !ferror(file);
}

// Cuts at most two trailing line-end bytes, CR and LF in either order. Both
// tests look at the length the line had when read, so a CR just before a last
// byte that is not a line end also ends the line there.
void cut_line_end(char *line) {
  size_t length = strlen(line);
  if (length >= 1 && is_line_end(line[length - 1]))
    line[length - 1] = '\0';
  if (length >= 2 && is_line_end(line[length - 2]))
    line[length - 2] = '\0';
}

// Track information from the latest valid "#EXTINF:" line, waiting for the
// entry it describes. Either part may be absent.
struct pending_track {
  json_ptr time;
  json_ptr title;
  void clear() {
    time.reset();
    title.reset();
  }
};

json_ptr created_or_null(json_object *value) { return json_ptr(json_is_created(value) ? value : nullptr); }

// `text` follows "#EXTINF:": a decimal number (leading white space and a sign
// allowed), a comma, then the title, which may be empty or hold more commas.
void read_track_info(const char *text, pending_track *pending) {
  pending->clear();
  char *end = nullptr;
  errno = 0;
  long seconds = strtol(text, &end, 10);
  // The time is a signed 32-bit number; where long is wider, a number that
  // strtol accepts can still be out of that range and would be cut short.
  if (errno != 0 || seconds < INT32_MIN || seconds > INT32_MAX) {
    log_error("Playlist track length too large/small.\n");
    return;
  }
  if (end == text || *end != ',') {
    log_error("Invalid m3u info line.\n");
    return;
  }
  pending->time = created_or_null(json_object_new_int(static_cast<int32_t>(seconds)));
  pending->title = created_or_null(build_utf8_string_child(end + 1));
}

// Appends an entry for `line` with the pending track information, which it
// consumes. False when the entry object cannot be made.
bool add_entry(json_object *entries, const char *line, pending_track *pending) {
  json_ptr entry = created_or_null(json_object_new_object());
  if (!entry) {
    log_error("Failed to allocate playlist entry.\n");
    return false;
  }
  if (pending->time)
    json_object_object_add(entry.get(), "time", pending->time.release());
  if (pending->title)
    json_object_object_add(entry.get(), "title", pending->title.release());
  add_field(entry.get(), "location", line);
  json_object_array_add(entries, entry.release());
  return true;
}

void add_too_large(json_object *m3u, json_object *root) {
  log_error("Playlist is too large to use!\n");
  add_field(m3u, "tooLarge", true);
  json_object_object_add(root, "m3u", m3u);
}

} // namespace

void parse_m3u(const source_file &source, json_object *root, const char * /*path*/) {
  FILE *file = source.stream;
  json_ptr m3u = created_or_null(json_object_new_object());
  if (!m3u) {
    log_error("Failed to allocate m3u metadata info!\n");
    return;
  }
  if (!source.stat_known) {
    log_error("Failed to get file info for m3u.\n");
    return;
  }
  if (source.st.st_size > playlist_size_limit) {
    add_too_large(m3u.release(), root);
    return;
  }
  json_ptr entries = created_or_null(json_object_new_array());
  if (!entries) {
    log_error("Unable to allocate entries.\n");
    return;
  }

  std::unique_ptr<char[]> line(new char[line_buffer_size]);
  pending_track pending;
  bool extended = false;
  bool first = true;
  size_t total = 0;
  size_t taken = 0;
  while (read_line(file, line.get(), &taken)) {
    // The size checked above is only what the file reported before reading:
    // a file that grows while it is read (or any stream that reports no
    // size) must still not be read without end.
    total += taken;
    if (total > static_cast<size_t>(playlist_size_limit)) {
      add_too_large(m3u.release(), root);
      return;
    }
    bool first_line = first;
    first = false;

    char *text = line.get();
    // A byte-order mark before the first line is skipped, so that a marked
    // file's header is still recognised and its first entry keeps its
    // location as written.
    if (first_line && strncmp(text, utf8_bom, utf8_bom_length) == 0)
      text += utf8_bom_length;
    // A line that begins with CR is the rest of the previous line's end when
    // lines end in LF CR: drop the CR and keep what follows, which would
    // otherwise be lost with it.
    if (text[0] == '\r' && text[1] != '\0' && !is_line_end(text[1]))
      ++text;
    if (text[0] == '\0' || is_line_end(text[0]))
      continue; // blank: any pending track information stays
    cut_line_end(text);

    if (first_line && strncmp(text, extended_header, extended_header_length) == 0) {
      extended = true;
      continue;
    }
    if (text[0] == '#') {
      if (strncmp(text, track_info, track_info_length) == 0)
        read_track_info(text + track_info_length, &pending);
      else
        pending.clear(); // a comment or another directive ends the track information
      continue;
    }
    if (!add_entry(entries.get(), text, &pending))
      break;
  }

  add_field(m3u.get(), "extended", extended);
  json_object_object_add(m3u.get(), "entries", entries.release());
  json_object_object_add(root, "m3u", m3u.release());
}

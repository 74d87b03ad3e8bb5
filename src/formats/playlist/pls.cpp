// PLS playlists: a key file whose "playlist" group holds "Version", the
// entry count and numbered keys "File<i>", "Title<i>" and "Length<i>". The
// whole file is read at once and handed to GLib's key-file parser.
#include "formats/playlist/playlist.h"

#include "base/byte_readers.h"
#include "base/json_helpers.h"
#include "base/log.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char PLAYLIST_GROUP[] = "playlist";

// Entry keys are formatted into a buffer of this size.
constexpr size_t key_buffer_size = 48;

// Entries are addressed by number, so the count a file declares is bounded by
// the highest number that any of its "File<i>", "Title<i>" or "Length<i>"
// keys carries: a number with no key at or above it would give an entry of
// nothing but "Length": 0. A file within the size limit holds at most
// playlist_size_limit / 6 keys ("File<i>=" with one digit is the shortest
// line), so numbering from 1 up never passes that; a key numbered beyond it
// can only be a crafted gap, and entries stop there, keeping the record of a
// few bytes from growing without bound.
constexpr int max_entry_number = static_cast<int>(playlist_size_limit / 6);

// The entry number of an entry key: the decimal number after "File",
// "Title" or "Length", written as "%d" writes it (no sign, no leading zero);
// 0 for any other key.
int entry_number_of(const char *key) {
  for (const char *prefix : {"File", "Title", "Length"}) {
    size_t length = strlen(prefix);
    if (strncmp(key, prefix, length) != 0)
      continue;
    const char *digits = key + length;
    if (*digits < '1' || *digits > '9')
      return 0;
    long long number = 0;
    for (const char *d = digits; *d != '\0'; ++d) {
      if (*d < '0' || *d > '9')
        return 0;
      number = number * 10 + (*d - '0');
      if (number > max_entry_number)
        return max_entry_number;
    }
    return static_cast<int>(number);
  }
  return 0;
}

// The highest entry number among the keys of the playlist group, at most
// max_entry_number; 0 when no entry key is present.
int highest_entry_number(GKeyFile *key_file) {
  g_auto(GStrv) keys = g_key_file_get_keys(key_file, PLAYLIST_GROUP, nullptr, nullptr);
  int highest = 0;
  for (char **key = keys; key != nullptr && *key != nullptr; ++key)
    highest = std::max(highest, entry_number_of(*key));
  return highest;
}

// Adds "error" = `word` to `pls` and `pls` to the record; takes `pls`.
void add_error(const char *word, json_object *pls, json_object *root) {
  add_field(pls, "error", word);
  json_object_object_add(root, "pls", pls);
}

// The integer under `key` in the playlist group, also added to `pls` under
// the key's own name; 0 (and nothing added) when missing or not an integer.
int add_int_value(GKeyFile *key_file, const char *key, json_object *pls) {
  GError *error = nullptr;
  int value = g_key_file_get_integer(key_file, PLAYLIST_GROUP, key, &error);
  if (error != nullptr) {
    log_error("No %s for playlist.\n", key);
    g_error_free(error);
    return 0;
  }
  add_field(pls, key, value);
  return value;
}

// The text of `key` in the playlist group, null when the key is missing.
// GLib hands out only UTF-8 text; a value in another encoding (a playlist
// written in Latin-1, say) is taken raw instead of being lost, and the
// record's string helper escapes its bytes that are not UTF-8.
char *key_text(GKeyFile *key_file, const char *key) {
  char *text = g_key_file_get_string(key_file, PLAYLIST_GROUP, key, nullptr);
  if (text == nullptr)
    text = g_key_file_get_value(key_file, PLAYLIST_GROUP, key, nullptr);
  return text;
}

// Entry `number`: "File" and "Title" where present, "Length" always (0 when
// missing or not an integer). Null when the entry object cannot be made.
json_object *build_entry(GKeyFile *key_file, int number) {
  json_object *entry = json_object_new_object();
  if (!json_is_created(entry))
    return nullptr;
  char key[key_buffer_size];
  snprintf(key, sizeof key, "File%d", number);
  g_autofree char *location = key_text(key_file, key);
  if (location != nullptr)
    add_field(entry, "File", static_cast<const char *>(location));
  snprintf(key, sizeof key, "Title%d", number);
  g_autofree char *title = key_text(key_file, key);
  if (title != nullptr)
    add_field(entry, "Title", static_cast<const char *>(title));
  snprintf(key, sizeof key, "Length%d", number);
  add_field(entry, "Length", g_key_file_get_integer(key_file, PLAYLIST_GROUP, key, nullptr));
  return entry;
}

} // namespace

void parse_pls(const source_file &source, json_object *root, const char * /*path*/) {
  FILE *file = source.stream;
  json_object *created = json_object_new_object();
  if (!json_is_created(created)) {
    log_error("Failed to allocate m3u metadata info!\n");
    return;
  }
  json_ptr pls(created);

  int32_t size = get_file_size(source);
  if (size == -1) {
    log_error("Failed to get file info for m3u.\n");
    return;
  }
  if (size > playlist_size_limit) {
    log_error("Playlist is too large to use!\n");
    add_error("tooLarge", pls.release(), root);
    return;
  }
  // An empty file gives no block and is reported like a failed allocation.
  g_autofree char *contents = size > 0 ? static_cast<char *>(g_try_malloc(static_cast<gsize>(size))) : nullptr;
  if (contents == nullptr) {
    add_error("noMemory", pls.release(), root);
    return;
  }
  if (fread(contents, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    log_error("Failed to read file contents!\n");
    add_error("badRead", pls.release(), root);
    return;
  }

  // GLib's key-file reader refuses a marked file, so the mark is skipped.
  const char *text = contents;
  gsize length = static_cast<gsize>(size);
  if (length >= utf8_bom_length && memcmp(text, utf8_bom, utf8_bom_length) == 0) {
    text += utf8_bom_length;
    length -= utf8_bom_length;
  }
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  if (!g_key_file_load_from_data(key_file, text, length, G_KEY_FILE_NONE, nullptr)) {
    add_error("noParse", pls.release(), root);
    return;
  }
  if (!g_key_file_has_group(key_file, PLAYLIST_GROUP)) {
    add_error("invalidFile", pls.release(), root);
    return;
  }

  add_int_value(key_file, "Version", pls.get());
  int count = add_int_value(key_file, "NumberOfEntries", pls.get());
  if (count == 0)
    count = add_int_value(key_file, "numberofentries", pls.get());
  count = std::min(count, highest_entry_number(key_file));

  json_object *entries = json_object_new_array();
  if (!json_is_created(entries)) {
    add_error("noMemory", pls.release(), root);
    return;
  }
  for (int number = 1; number <= count; ++number) {
    json_object *entry = build_entry(key_file, number);
    if (entry != nullptr)
      json_object_array_add(entries, entry);
  }
  json_object_object_add(pls.get(), "entries", entries);
  json_object_object_add(root, "pls", pls.release());
}

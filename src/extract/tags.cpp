#include "extract/tags.h"

#include "base/json_helpers.h"
#include "formats/id3/id3_tags.h"

#include <cstdlib>

namespace {

struct tags_view {
  std::string title, artist, album, album_artist, genre, year, composer, comment;
  int track = 0, track_total = 0, disc = 0, disc_total = 0;
};

// Every string of an ID3 text frame's array, mapped by `map`, joined with
// "; " as the frame's several values.
template <typename Map> std::string joined(json_object *id3, const char *id, Map map) {
  json_object *values = json_object_object_get(id3, id);
  std::string out;
  if (values == nullptr || !json_object_is_type(values, json_type_array))
    return out;
  for (size_t i = 0; i < json_object_array_length(values); ++i) {
    json_object *value = json_object_array_get_idx(values, i);
    if (!json_object_is_type(value, json_type_string) || json_object_get_string_len(value) == 0)
      continue;
    out += (out.empty() ? "" : "; ") + map(json_object_get_string(value));
  }
  return out;
}
std::string joined(json_object *id3, const char *id) {
  return joined(id3, id, [](const char *text) { return std::string(text); });
}

// A date's year: what comes before its first '-' ("2021-05-03", "2020-01-
// 02T03:04:05Z" and "1999" alike).
std::string year_of(const std::string &date) { return date.substr(0, date.find('-')); }

// "3/12": a number and an optional total, each 0 when it is not a number.
void number_pair(const std::string &text, int *number, int *total) {
  char *end = nullptr;
  long n = strtol(text.c_str(), &end, 10);
  *number = end != text.c_str() && n > 0 && n < 1000000 ? static_cast<int>(n) : 0;
  const size_t slash = text.find('/');
  if (slash == std::string::npos)
    return;
  const char *rest = text.c_str() + slash + 1;
  long t = strtol(rest, &end, 10);
  *total = end != rest && t > 0 && t < 1000000 ? static_cast<int>(t) : 0;
}

tags_view from_id3(json_object *id3, const std::string &comment) {
  tags_view v;
  v.title = joined(id3, "TIT2");
  v.artist = joined(id3, "TPE1");
  v.album = joined(id3, "TALB");
  v.album_artist = joined(id3, "TPE2");
  v.genre = joined(id3, "TCON", [](const char *text) { return id3_genre_text(text); });
  // The library reads a version 2.3 year frame (TYER) as a recording time.
  v.year = year_of(joined(id3, "TDRC"));
  if (v.year.empty())
    v.year = year_of(joined(id3, "TYER"));
  number_pair(joined(id3, "TRCK"), &v.track, &v.track_total);
  number_pair(joined(id3, "TPOS"), &v.disc, &v.disc_total);
  v.composer = joined(id3, "TCOM");
  v.comment = comment;
  return v;
}

std::string text_item(json_object *mp4, const char *key) {
  json_object *value = json_object_object_get(mp4, key);
  return json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "";
}

void pair_item(json_object *mp4, const char *key, int *number, int *total) {
  json_object *pair = json_object_object_get(mp4, key);
  if (!json_object_is_type(pair, json_type_object))
    return;
  *number = json_object_get_int(json_object_object_get(pair, "position"));
  *total = json_object_get_int(json_object_object_get(pair, "total"));
}

tags_view from_mp4(json_object *mp4) {
  tags_view v;
  v.title = text_item(mp4, "_nam");
  v.artist = text_item(mp4, "_ART");
  v.album = text_item(mp4, "_alb");
  v.album_artist = text_item(mp4, "aART");
  // A genre as text, or as an ID3v1 genre number plus one.
  v.genre = text_item(mp4, "_gen");
  json_object *number = json_object_object_get(mp4, "gnre");
  if (v.genre.empty() && json_object_is_type(number, json_type_int) && json_object_get_int(number) > 0)
    v.genre = id3_genre_name_of(static_cast<unsigned>(json_object_get_int(number) - 1));
  v.year = year_of(text_item(mp4, "_day"));
  pair_item(mp4, "trkn", &v.track, &v.track_total);
  pair_item(mp4, "disk", &v.disc, &v.disc_total);
  v.composer = text_item(mp4, "_wrt");
  v.comment = text_item(mp4, "_cmt");
  return v;
}

// A Vorbis comment field: one string, or an array of them for a repeated
// field, joined with "; ".
std::string comment_text(json_object *comments, const char *key) {
  json_object *value = json_object_object_get(comments, key);
  if (json_object_is_type(value, json_type_string))
    return json_object_get_string(value);
  return joined(comments, key);
}

// A number field that may carry its total ("3/12"); a total field of its own
// counts where the number's text has none.
void comment_pair(json_object *comments, const char *number_key, const char *total_key, int *number, int *total) {
  number_pair(comment_text(comments, number_key), number, total);
  int own = 0, unused = 0;
  number_pair(comment_text(comments, total_key), &own, &unused);
  if (*total == 0)
    *total = own;
}

tags_view from_vorbis(json_object *member) {
  json_object *comments = json_object_object_get(member, "comments");
  tags_view v;
  if (!json_object_is_type(comments, json_type_object))
    return v;
  v.title = comment_text(comments, "TITLE");
  v.artist = comment_text(comments, "ARTIST");
  v.album = comment_text(comments, "ALBUM");
  v.album_artist = comment_text(comments, "ALBUMARTIST");
  v.genre = comment_text(comments, "GENRE");
  v.year = year_of(comment_text(comments, "DATE"));
  comment_pair(comments, "TRACKNUMBER", "TRACKTOTAL", &v.track, &v.track_total);
  comment_pair(comments, "DISCNUMBER", "DISCTOTAL", &v.disc, &v.disc_total);
  v.composer = comment_text(comments, "COMPOSER");
  v.comment = comment_text(comments, "COMMENT");
  if (v.comment.empty())
    v.comment = comment_text(comments, "DESCRIPTION");
  return v;
}

// A WAV file's INFO texts; the track number is under ITRK or IPRT.
tags_view from_info(json_object *info) {
  tags_view v;
  v.title = text_item(info, "INAM");
  v.artist = text_item(info, "IART");
  v.album = text_item(info, "IPRD");
  v.genre = text_item(info, "IGNR");
  v.year = year_of(text_item(info, "ICRD"));
  v.comment = text_item(info, "ICMT");
  std::string track = text_item(info, "ITRK");
  number_pair(track.empty() ? text_item(info, "IPRT") : track, &v.track, &v.track_total);
  return v;
}

// The facts of the record's format member, if it has one that gives tags. A
// WAV file's ID3 chunk is read before its INFO texts, as richer.
bool view_of(json_object *root, const std::string &comment, tags_view *v) {
  auto member = [root](const char *key) {
    json_object *found = json_object_object_get(root, key);
    return json_object_is_type(found, json_type_object) ? found : nullptr;
  };
  json_object *wav = member("wav");
  json_object *found = nullptr;
  if ((found = member("id3")) != nullptr)
    *v = from_id3(found, comment);
  else if ((found = member("mp4")) != nullptr)
    *v = from_mp4(found);
  else if ((found = member("flac")) != nullptr || (found = member("vorbis")) != nullptr)
    *v = from_vorbis(found);
  else if (wav != nullptr && json_object_is_type(found = json_object_object_get(wav, "id3"), json_type_object))
    *v = from_id3(found, comment);
  else if (wav != nullptr && json_object_is_type(found = json_object_object_get(wav, "info"), json_type_object))
    *v = from_info(found);
  return found != nullptr;
}

void add_text(json_object *tags, const char *key, const std::string &text) {
  if (!text.empty())
    add_field(tags, key, text.c_str());
}
void add_number(json_object *tags, const char *key, int number) {
  if (number > 0)
    add_field(tags, key, number);
}

} // namespace

void add_tags(json_object *root, const std::string &comment) {
  tags_view v;
  if (!view_of(root, comment, &v))
    return;
  json_ptr tags(json_object_new_object());
  if (!json_is_created(tags.get()))
    return;
  add_text(tags.get(), "title", v.title);
  add_text(tags.get(), "artist", v.artist);
  add_text(tags.get(), "album", v.album);
  add_text(tags.get(), "albumArtist", v.album_artist);
  add_text(tags.get(), "genre", v.genre);
  add_text(tags.get(), "year", v.year);
  add_number(tags.get(), "track", v.track);
  add_number(tags.get(), "trackTotal", v.track_total);
  add_number(tags.get(), "disc", v.disc);
  add_number(tags.get(), "discTotal", v.disc_total);
  add_text(tags.get(), "composer", v.composer);
  add_text(tags.get(), "comment", v.comment);
  if (json_object_object_length(tags.get()) > 0)
    json_object_object_add(root, "tags", tags.release());
}

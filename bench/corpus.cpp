#include "corpus.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

struct kind_sources {
  const char *kind;
  bool audio;
  std::vector<const char *> fixtures; // relative to the data folder
};

// The fixtures each kind is copied from. Only those that carry what a reader
// has to find are used: tags and item lists with pictures, EXIF with a
// thumbnail, playlists with entries.
const std::vector<kind_sources> &sources() {
  static const std::vector<kind_sources> table = {
      {"mp3", true, {"id3/v24_two_pictures.mp3", "id3/v23_one_picture.mp3", "id3/same_type.mp3"}},
      {"mp4", true, {"mp4/audio.m4a", "mp4/video.mp4"}},
      {"jpeg", false, {"image/thumb_intel.jpg", "image/thumb_motorola.jpg"}},
      {"playlist", false, {"playlist/road_trip.m3u8", "playlist/windows.m3u", "playlist/radio.pls"}},
      {"png", false, {"mp4/cover.png", "id3/back.png"}},
      {"flac", true, {"flac/tagged.flac", "flac/id3_in_front.flac"}},
      {"ogg", true, {"ogg/tagged.ogg", "ogg/tagged.opus"}},
      {"wav", true, {"wav/id3.wav", "wav/info.wav"}},
      {"photo", false, {"photo/photo.heic", "photo/photo.webp", "photo/photo.png", "photo/photo.avif"}},
      {"unknown", false, {}},
  };
  return table;
}

// Bytes of no known format: half text notes, half noise from a fixed seed,
// so every run builds the same corpus.
std::string unknown_bytes(size_t index, GRand *rand, std::string *extension) {
  std::string bytes;
  if (index % 2 == 0) {
    *extension = ".txt";
    for (int line = 0; line < 20; ++line)
      bytes += "note " + std::to_string(index) + " line " + std::to_string(line) + ": nothing to see here\n";
  } else {
    *extension = ".dat";
    size_t length = 512 + static_cast<size_t>(g_rand_int_range(rand, 0, 3584));
    for (size_t i = 0; i < length; ++i)
      bytes += static_cast<char>(g_rand_int_range(rand, 0, 256));
  }
  return bytes;
}

} // namespace

const std::vector<std::string> &corpus_kinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> names;
    for (const kind_sources &k : sources())
      names.push_back(k.kind);
    return names;
  }();
  return kinds;
}

bool corpus_build(const std::string &data_dir, const std::string &dir, size_t count, corpus *out,
                  std::string *error) {
  // Each kind's fixtures, read once.
  struct loaded {
    std::string extension;
    std::string bytes;
  };
  std::map<std::string, std::vector<loaded>> fixtures;
  for (const kind_sources &k : sources()) {
    if (k.fixtures.empty())
      continue;
    for (const char *relative : k.fixtures) {
      g_autofree char *path = g_build_filename(data_dir.c_str(), relative, nullptr);
      g_autofree char *contents = nullptr;
      gsize length = 0;
      if (!g_file_get_contents(path, &contents, &length, nullptr))
        continue;
      const char *dot = strrchr(relative, '.');
      fixtures[k.kind].push_back({dot != nullptr ? dot : "", std::string(contents, length)});
    }
    if (fixtures[k.kind].empty()) {
      *error = std::string("no fixture found for ") + k.kind + " under " + data_dir;
      return false;
    }
  }

  out->dir = dir;
  out->files.clear();
  out->files.reserve(count);
  std::map<std::string, size_t> used;
  g_autoptr(GRand) rand = g_rand_new_with_seed(20261206);
  const auto &kinds = sources();
  for (size_t i = 0; i < count; ++i) {
    const kind_sources &k = kinds[i % kinds.size()];
    size_t turn = used[k.kind]++;
    std::string extension;
    std::string generated;
    const std::string *bytes = &generated;
    if (k.fixtures.empty()) {
      generated = unknown_bytes(turn, rand, &extension);
    } else {
      const loaded &f = fixtures[k.kind][turn % fixtures[k.kind].size()];
      extension = f.extension;
      bytes = &f.bytes;
    }
    char name[32];
    snprintf(name, sizeof name, "%05zu", i);
    std::string path = dir + "/" + name + extension;
    GError *failure = nullptr;
    if (!g_file_set_contents(path.c_str(), bytes->data(), static_cast<gssize>(bytes->size()), &failure)) {
      *error = failure->message;
      g_error_free(failure);
      return false;
    }
    out->files.push_back({path, k.kind, k.audio});
  }
  return true;
}

std::vector<std::string> corpus_paths(const corpus &c, bool audio_only) {
  std::vector<std::string> paths;
  for (const corpus_file &f : c.files)
    if (!audio_only || f.audio)
      paths.push_back(f.path);
  return paths;
}

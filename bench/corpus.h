// A corpus of media files for the benchmark and the load tests, copied from
// the committed fixtures: a mix of MP3 with covers, MPEG-4 with covers, JPEG
// with EXIF thumbnails, playlists, PNG, FLAC, Ogg, WAV, photos with EXIF in
// other containers and files of no known format.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct corpus_file {
  std::string path;
  std::string kind; // "mp3", "mp4", "jpeg", "playlist", "png", "flac", "ogg", "wav", "photo" or "unknown"
  bool audio;       // something an audio tagger reads (MP3, MPEG-4, FLAC, Ogg, WAV)
};

struct corpus {
  std::string dir;
  std::vector<corpus_file> files;
};

// The kinds in the order the corpus takes them in turn.
const std::vector<std::string> &corpus_kinds();

// Writes `count` files into the existing folder `dir`, named 00000.ext and on,
// the kinds taken in turn and, within a kind, its fixtures in turn. Fixtures
// are read from `data_dir` (the tests/data folder); a fixture that is missing
// is skipped, a kind with none left is an error. Unknown files are made here
// from a fixed seed. False with `error` set on failure.
bool corpus_build(const std::string &data_dir, const std::string &dir, size_t count, corpus *out,
                  std::string *error);

// The paths of `c`, all or only the audio ones.
std::vector<std::string> corpus_paths(const corpus &c, bool audio_only = false);

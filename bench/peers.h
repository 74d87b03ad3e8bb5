// The tools a user would otherwise pick, run over the same corpus where they
// are installed.
#pragma once

#include "corpus.h"

#include <string>
#include <vector>

struct peer_run {
  std::string name;
  std::string note; // how it was run, for the table
  size_t files = 0;
  double seconds = 0;
  bool ran = false;
  std::string skipped; // why not, when it did not run
};

// exiftool over the whole list in one process; a Python mutagen loop over the
// audio files (the loop's own time, without the interpreter's start); ffprobe
// once per file over an even sample of `ffprobe_sample` files (process start
// included, as that is how it is used). `work_dir` takes the list files.
std::vector<peer_run> measure_peers(const corpus &c, const std::string &work_dir, size_t ffprobe_sample);

// `count` paths spread evenly over `paths`, first one included.
std::vector<std::string> even_sample(const std::vector<std::string> &paths, size_t count);

#include "peers.h"

#include "process_stats.h"

#include <glib.h>

#include <sys/wait.h>

#include <cstdlib>

namespace {

const char *const mutagen_loop = R"(import sys, time
import mutagen
paths = [p for p in open(sys.argv[1], encoding="utf-8").read().split("\n") if p]
start = time.perf_counter()
for p in paths:
    try:
        mutagen.File(p)
    except Exception:
        pass
print(time.perf_counter() - start)
)";

bool write_list(const std::string &path, const std::vector<std::string> &paths) {
  std::string text;
  for (const std::string &p : paths)
    text += p + "\n";
  return g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), nullptr);
}

// Runs argv to its end with its output thrown away unless `out` is given;
// true when it ran and exited (whatever the status: a reader that dislikes
// some files still read them all).
bool run(const std::vector<std::string> &args, std::string *out = nullptr) {
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int flags = G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL;
  if (out == nullptr)
    flags |= G_SPAWN_STDOUT_TO_DEV_NULL;
  g_autofree char *captured = nullptr;
  int status = 0;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, static_cast<GSpawnFlags>(flags), nullptr, nullptr,
                    out != nullptr ? &captured : nullptr, nullptr, &status, nullptr))
    return false;
  if (out != nullptr && captured != nullptr)
    *out = captured;
  return WIFEXITED(status);
}

// A Python that can import mutagen: Debian's own first, as its package is
// what the install script brings.
std::string python_with_mutagen() {
  for (const char *candidate : {"/usr/bin/python3", "python3"}) {
    g_autofree char *found = g_find_program_in_path(candidate);
    if (found == nullptr)
      continue;
    std::string out;
    if (run({found, "-c", "import mutagen; print('yes')"}, &out) && out.rfind("yes", 0) == 0)
      return found;
  }
  return "";
}

peer_run exiftool_peer(const corpus &c, const std::string &work_dir) {
  peer_run r{"exiftool -fast -json", "one process over the whole list", c.files.size(), 0, false, ""};
  g_autofree char *tool = g_find_program_in_path("exiftool");
  if (tool == nullptr) {
    r.skipped = "exiftool not installed";
    return r;
  }
  std::string list = work_dir + "/exiftool.args";
  if (!write_list(list, corpus_paths(c))) {
    r.skipped = "can't write its list";
    return r;
  }
  double start = now_seconds();
  r.ran = run({tool, "-fast", "-json", "-@", list});
  r.seconds = now_seconds() - start;
  if (!r.ran)
    r.skipped = "exiftool failed";
  return r;
}

peer_run mutagen_peer(const corpus &c, const std::string &work_dir) {
  std::vector<std::string> audio = corpus_paths(c, true);
  peer_run r{"mutagen (Python loop)", "audio files only, loop time", audio.size(), 0, false, ""};
  std::string python = python_with_mutagen();
  if (python.empty()) {
    r.skipped = "no Python with mutagen";
    return r;
  }
  std::string list = work_dir + "/mutagen.list";
  std::string script = work_dir + "/mutagen_loop.py";
  if (!write_list(list, audio) || !g_file_set_contents(script.c_str(), mutagen_loop, -1, nullptr)) {
    r.skipped = "can't write its list";
    return r;
  }
  std::string out;
  r.ran = run({python, script, list}, &out) && !out.empty();
  r.seconds = r.ran ? strtod(out.c_str(), nullptr) : 0;
  if (!r.ran)
    r.skipped = "the loop failed";
  return r;
}

peer_run ffprobe_peer(const corpus &c, size_t sample) {
  std::vector<std::string> paths = even_sample(corpus_paths(c), sample);
  peer_run r{"ffprobe", "one process per file, sample of " + std::to_string(paths.size()), paths.size(), 0, false, ""};
  g_autofree char *tool = g_find_program_in_path("ffprobe");
  if (tool == nullptr) {
    r.skipped = "ffprobe not installed";
    return r;
  }
  double start = now_seconds();
  r.ran = true;
  for (const std::string &p : paths)
    r.ran = run({tool, "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams", p}) && r.ran;
  r.seconds = now_seconds() - start;
  if (!r.ran)
    r.skipped = "ffprobe failed";
  return r;
}

} // namespace

std::vector<std::string> even_sample(const std::vector<std::string> &paths, size_t count) {
  if (count >= paths.size())
    return paths;
  std::vector<std::string> picked;
  for (size_t i = 0; i < count; ++i)
    picked.push_back(paths[i * paths.size() / count]);
  return picked;
}

std::vector<peer_run> measure_peers(const corpus &c, const std::string &work_dir, size_t ffprobe_sample) {
  return {exiftool_peer(c, work_dir), mutagen_peer(c, work_dir), ffprobe_peer(c, ffprobe_sample)};
}

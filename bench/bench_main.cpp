// The benchmark: builds a corpus from the committed fixtures and measures, on
// warm cache, the floor, the worker alone, the whole service and the peers.
#include "corpus.h"
#include "crafted.h"
#include "local_measures.h"
#include "peers.h"
#include "process_stats.h"
#include "report.h"
#include "service_measures.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// The floor is a few milliseconds for the whole corpus, so one pass is noise;
// the best of a few is its figure.
constexpr int floor_passes = 5;

struct options {
  int files = 2000;
  int callers = 4;
  int ffprobe_sample = 100;
  char *binary = nullptr;
  char *data = nullptr;
  char *json = nullptr;
  gboolean keep = FALSE;
  gboolean no_peers = FALSE;
};

bool parse_options(int argc, char **argv, options *o) {
  GOptionEntry entries[] = {
      {"files", 'n', 0, G_OPTION_ARG_INT, &o->files, "Number of files in the corpus (2000)", "N"},
      {"callers", 'c', 0, G_OPTION_ARG_INT, &o->callers, "Concurrent callers of the service (4)", "C"},
      {"ffprobe-sample", 0, 0, G_OPTION_ARG_INT, &o->ffprobe_sample, "Files ffprobe is run on, one process each (100)",
       "K"},
      {"binary", 0, 0, G_OPTION_ARG_FILENAME, &o->binary, "The mediasiftd to measure (the one built beside this)",
       "PATH"},
      {"data", 0, 0, G_OPTION_ARG_FILENAME, &o->data, "The fixtures folder the corpus is built from", "DIR"},
      {"json", 0, 0, G_OPTION_ARG_FILENAME, &o->json, "Also write the figures as JSON to FILE", "FILE"},
      {"keep", 0, 0, G_OPTION_ARG_NONE, &o->keep, "Keep the corpus folder and say where it is", nullptr},
      {"no-peers", 0, 0, G_OPTION_ARG_NONE, &o->no_peers, "Measure only the floor, the worker and the service",
       nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  g_autoptr(GOptionContext) context = g_option_context_new("- measure mediasiftd against the floor and its peers");
  g_option_context_add_main_entries(context, entries, nullptr);
  GError *failure = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &failure)) {
    fprintf(stderr, "%s\n", failure->message);
    g_error_free(failure);
    return false;
  }
  if (o->files < 1 || o->callers < 1 || o->ffprobe_sample < 0) {
    fprintf(stderr, "--files and --callers must be at least 1\n");
    return false;
  }
  return true;
}

void remove_corpus(const corpus &c) {
  for (const corpus_file &f : c.files)
    g_remove(f.path.c_str());
  for (const char *leftover : {"/exiftool.args", "/mutagen.list", "/mutagen_loop.py"})
    g_remove((c.dir + leftover).c_str());
  g_rmdir(c.dir.c_str());
}

std::string mix_text() {
  std::string mix;
  for (const std::string &kind : corpus_kinds())
    mix += (mix.empty() ? "" : ", ") + kind;
  return mix + " in equal shares";
}

int fail(const char *what, const std::string &error) {
  fprintf(stderr, "benchmark: %s: %s\n", what, error.c_str());
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse_options(argc, argv, &o))
    return 2;
  std::string binary = o.binary != nullptr ? o.binary : MS_BENCH_BINARY;
  std::string data = o.data != nullptr ? o.data : MS_BENCH_DATA_DIR;

  g_autofree char *dir = g_dir_make_tmp("mediasift-bench-XXXXXX", nullptr);
  if (dir == nullptr)
    return fail("corpus", "no temporary folder");
  corpus c;
  std::string error;
  if (!corpus_build(data, dir, static_cast<size_t>(o.files), &c, &error))
    return fail("corpus", error);
  std::vector<std::string> paths = corpus_paths(c);
  fprintf(stderr, "corpus of %zu files in %s\n", paths.size(), dir);

  bench_results results;
  results.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  results.files = paths.size();
  results.callers = o.callers;
  results.mix = mix_text();
  results.floor_row = "floor";
  results.service_row = "service, one caller";

  // Warm the cache; every timed pass after this reads from memory.
  measure_floor(paths);
  std::vector<double> floor_times;
  for (int i = 0; i < floor_passes; ++i)
    floor_times.push_back(measure_floor(paths));
  double floor_seconds = percentile(floor_times, 0);
  if (floor_seconds < 0)
    return fail("floor", "a corpus file could not be read");
  results.rows.push_back({"floor", "open, fstat, read 64 KiB, close; best of 5", paths.size(), floor_seconds, true, ""});

  fprintf(stderr, "measuring the worker alone\n");
  worker_run worker;
  if (!measure_worker(binary, paths, &worker, &error))
    return fail("worker", error);
  if (worker.answered != paths.size())
    return fail("worker", std::to_string(paths.size() - worker.answered) + " requests got no answer of their own");
  results.rows.push_back({"worker, one at a time", "each request after the answer to the one before", paths.size(),
                          worker.seconds, true, ""});
  if (worker.failed != 0)
    fprintf(stderr, "note: %zu worker records say \"returnValue\": false\n", worker.failed);
  results.worker_median_us = percentile(worker.latencies_us, 0.5);
  results.worker_p99_us = percentile(worker.latencies_us, 0.99);
  results.worker_rss_after_100_kib = worker.rss_after_100_kib;
  results.worker_rss_after_all_kib = worker.rss_after_all_kib;
  if (worker.cpu_us >= 0)
    results.worker_alone_cpu_us = worker.cpu_us / static_cast<double>(paths.size());
  worker_run fed;
  if (!measure_worker_fed(binary, paths, &fed, &error))
    return fail("worker", error);
  results.rows.push_back({"worker, fed", "every request in its input at start, answers to a file", paths.size(),
                          fed.seconds, true, ""});
  if (fed.cpu_us >= 0)
    results.worker_fed_cpu_us = fed.cpu_us / static_cast<double>(paths.size());

  fprintf(stderr, "measuring crafted files\n");
  // No file may cost the worker more than the bound, however it is built.
  std::string crafted;
  bool over = false;
  if (!measure_crafted(binary, dir, &crafted, &over, &error))
    return fail("crafted files", error);

  fprintf(stderr, "measuring the service\n");
  service_run service;
  if (!measure_service(binary, paths, o.callers, &service, &error))
    return fail("service", error);
  results.rows.push_back({"service, one caller", "calls of 1,000 paths one after another, private bus",
                          paths.size(), service.one_call_seconds, true, ""});
  results.rows.push_back({"service, " + std::to_string(o.callers) + " callers",
                          "each caller its share, all at once", paths.size(), service.concurrent_seconds, true, ""});
  results.service_peak_rss_kib = service.service_peak_rss_kib;
  results.worker_peak_rss_kib = service.worker_peak_rss_kib;
  if (service.service_cpu_us >= 0)
    results.service_cpu_us = service.service_cpu_us / static_cast<double>(paths.size());
  if (service.worker_cpu_us >= 0)
    results.service_worker_cpu_us = service.worker_cpu_us / static_cast<double>(paths.size());
  if (service.concurrent_service_cpu_us >= 0)
    results.concurrent_service_cpu_us = service.concurrent_service_cpu_us / static_cast<double>(paths.size());
  if (service.concurrent_worker_cpu_us >= 0)
    results.concurrent_worker_cpu_us = service.concurrent_worker_cpu_us / static_cast<double>(paths.size());

  if (!o.no_peers) {
    fprintf(stderr, "measuring the peers\n");
    for (const peer_run &p : measure_peers(c, dir, static_cast<size_t>(o.ffprobe_sample)))
      results.rows.push_back({p.name, p.note, p.files, p.seconds, p.ran, p.skipped});
  }

  if (o.keep)
    fprintf(stderr, "corpus kept in %s\n", dir);
  else
    remove_corpus(c);

  fputs(report_table(results).c_str(), stdout);
  fputs(crafted.c_str(), stdout);
  if (o.json != nullptr) {
    std::string text = report_json(results) + "\n";
    GError *failure = nullptr;
    if (!g_file_set_contents(o.json, text.c_str(), static_cast<gssize>(text.size()), &failure)) {
      std::string message = failure->message;
      g_error_free(failure);
      return fail("json", message);
    }
  }
  return over ? 3 : 0;
}

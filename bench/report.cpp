#include "report.h"

#include "base/json_helpers.h"

#include <glib.h>

namespace {

const bench_row *find_row(const bench_results &results, const std::string &name) {
  for (const bench_row &row : results.rows)
    if (row.name == name)
      return &row;
  return nullptr;
}

std::string kib_text(long kib) { return kib < 0 ? std::string("n/a") : std::to_string(kib) + " KiB"; }

std::string us_text(double us) {
  if (us < 0)
    return "n/a";
  g_autofree char *text = g_strdup_printf("%.1f us", us);
  return text;
}

} // namespace

double files_per_second(const bench_row &row) {
  if (!row.ran || row.seconds <= 0)
    return 0;
  return static_cast<double>(row.files) / row.seconds;
}

double ratio_to(const bench_results &results, const bench_row &row, const std::string &reference) {
  const bench_row *base = find_row(results, reference);
  if (base == nullptr)
    return 0;
  double base_rate = files_per_second(*base);
  double rate = files_per_second(row);
  return base_rate > 0 && rate > 0 ? rate / base_rate : 0;
}

std::string report_table(const bench_results &results) {
  std::string out;
  g_autofree char *head = g_strdup_printf(
      "mediasiftd benchmark: %zu files (%s), %d cores, warm cache, %d concurrent callers\n\n", results.files,
      results.mix.c_str(), results.cores, results.callers);
  out += head;
  g_autofree char *columns = g_strdup_printf("%-30s %7s %10s %12s %8s %10s  %s\n", "measure", "files", "seconds",
                                             "files/s", "x floor", "x service", "how");
  out += columns;
  for (const bench_row &row : results.rows) {
    if (!row.ran) {
      g_autofree char *line = g_strdup_printf("%-30s %7s %10s %12s %8s %10s  skipped: %s\n", row.name.c_str(), "-",
                                              "-", "-", "-", "-", row.skipped.c_str());
      out += line;
      continue;
    }
    g_autofree char *line = g_strdup_printf(
        "%-30s %7zu %10.3f %12.0f %8.3f %10.3f  %s\n", row.name.c_str(), row.files, row.seconds,
        files_per_second(row), ratio_to(results, row, results.floor_row),
        ratio_to(results, row, results.service_row), row.note.c_str());
    out += line;
  }
  g_autofree char *tail = g_strdup_printf(
      "\nworker latency per file: median %.1f us, 99th percentile %.1f us\n"
      "worker resident memory: %s after 100 files, %s after %zu files\n"
      "service peak resident memory: %s (its worker's peak: %s)\n"
      "CPU time per file: worker one at a time %s, fed without waiting %s; one caller: service %s, workers %s;"
      " %d callers: service %s, workers %s\n",
      results.worker_median_us, results.worker_p99_us, kib_text(results.worker_rss_after_100_kib).c_str(),
      kib_text(results.worker_rss_after_all_kib).c_str(), results.files,
      kib_text(results.service_peak_rss_kib).c_str(), kib_text(results.worker_peak_rss_kib).c_str(),
      us_text(results.worker_alone_cpu_us).c_str(), us_text(results.worker_fed_cpu_us).c_str(),
      us_text(results.service_cpu_us).c_str(), us_text(results.service_worker_cpu_us).c_str(), results.callers,
      us_text(results.concurrent_service_cpu_us).c_str(), us_text(results.concurrent_worker_cpu_us).c_str());
  out += tail;
  return out;
}

std::string report_json(const bench_results &results) {
  json_ptr root(json_object_new_object());
  add_field(root.get(), "cores", results.cores);
  add_field(root.get(), "files", static_cast<double>(results.files));
  add_field(root.get(), "callers", results.callers);
  add_field(root.get(), "mix", results.mix.c_str());
  json_ptr measures(json_object_new_array());
  for (const bench_row &row : results.rows) {
    json_ptr m(json_object_new_object());
    add_field(m.get(), "name", row.name.c_str());
    add_field(m.get(), "how", row.note.c_str());
    add_field(m.get(), "ran", row.ran);
    add_field(m.get(), "files", static_cast<double>(row.files));
    if (row.ran) {
      add_field(m.get(), "seconds", row.seconds);
      add_field(m.get(), "filesPerSecond", files_per_second(row));
      add_field(m.get(), "ratioToFloor", ratio_to(results, row, results.floor_row));
      add_field(m.get(), "ratioToService", ratio_to(results, row, results.service_row));
    } else {
      add_field(m.get(), "skipped", row.skipped.c_str());
    }
    json_object_array_add(measures.get(), m.release());
  }
  json_object_object_add(root.get(), "measures", measures.release());
  json_ptr latency(json_object_new_object());
  add_field(latency.get(), "medianMicroseconds", results.worker_median_us);
  add_field(latency.get(), "p99Microseconds", results.worker_p99_us);
  json_object_object_add(root.get(), "workerLatency", latency.release());
  json_ptr memory(json_object_new_object());
  add_field(memory.get(), "workerAfter100KiB", static_cast<double>(results.worker_rss_after_100_kib));
  add_field(memory.get(), "workerAfterAllKiB", static_cast<double>(results.worker_rss_after_all_kib));
  add_field(memory.get(), "servicePeakKiB", static_cast<double>(results.service_peak_rss_kib));
  add_field(memory.get(), "serviceWorkerPeakKiB", static_cast<double>(results.worker_peak_rss_kib));
  json_object_object_add(root.get(), "residentMemory", memory.release());
  json_ptr cpu(json_object_new_object());
  add_field(cpu.get(), "workerAloneMicroseconds", results.worker_alone_cpu_us);
  add_field(cpu.get(), "serviceMicroseconds", results.service_cpu_us);
  add_field(cpu.get(), "serviceWorkerMicroseconds", results.service_worker_cpu_us);
  add_field(cpu.get(), "workerFedMicroseconds", results.worker_fed_cpu_us);
  add_field(cpu.get(), "concurrentServiceMicroseconds", results.concurrent_service_cpu_us);
  add_field(cpu.get(), "concurrentWorkerMicroseconds", results.concurrent_worker_cpu_us);
  json_object_object_add(root.get(), "cpuPerFile", cpu.release());
  return json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
}

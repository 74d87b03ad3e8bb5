// The benchmark's figures, as a table for people and as JSON for tools.
#pragma once

#include <string>
#include <vector>

struct bench_row {
  std::string name;
  std::string note;
  size_t files = 0;
  double seconds = 0;
  bool ran = false;
  std::string skipped;
};

struct bench_results {
  int cores = 0;
  size_t files = 0;
  int callers = 0;
  std::string mix; // "mp3, mp4, ..."
  // Rows in table order; the floor and the one-call service row are the
  // references every ratio is taken against.
  std::vector<bench_row> rows;
  std::string floor_row;
  std::string service_row;
  double worker_median_us = 0;
  double worker_p99_us = 0;
  long worker_rss_after_100_kib = -1;
  long worker_rss_after_all_kib = -1;
  long service_peak_rss_kib = -1;
  long worker_peak_rss_kib = -1;
  // CPU time per file: the worker alone (one request at a time, and fed
  // without waiting), and the service and its workers for one caller and
  // for several at once; negative when unknown.
  double worker_alone_cpu_us = -1;
  double worker_fed_cpu_us = -1;
  double service_cpu_us = -1;
  double service_worker_cpu_us = -1;
  double concurrent_service_cpu_us = -1;
  double concurrent_worker_cpu_us = -1;
};

// Files per second of a row that ran, else 0.
double files_per_second(const bench_row &row);
// Files per second of `row` over that of the row named `reference`; 0 when
// either did not run.
double ratio_to(const bench_results &results, const bench_row &row, const std::string &reference);

std::string report_table(const bench_results &results);
std::string report_json(const bench_results &results);

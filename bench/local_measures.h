// The measures that need no bus: the floor every metadata reader pays, and
// the parser worker, fed one request at a time (its latency) and fed every
// request at once (its throughput, which the broker's pipelining gets close
// to).
#pragma once

#include <string>
#include <vector>

// Opens each file, fstats it, reads its first 64 KiB and closes it. Returns
// the seconds taken, or a negative number when a file can't be read.
double measure_floor(const std::vector<std::string> &paths);

struct worker_run {
  double seconds = 0;
  size_t answered = 0;              // answers carrying the request's id
  size_t failed = 0;                // of those, "returnValue" false
  std::vector<double> latencies_us; // per request, write to answer
  long rss_after_100_kib = -1;
  long rss_after_all_kib = -1;
  double cpu_us = -1; // the worker's CPU time over all requests
};

// Starts `binary` as a worker ("-demon") on pipes, sends one request line per
// path, each after the answer to the one before, and closes its input at the
// end. False with `error` set when the worker can't be started or stops
// answering.
bool measure_worker(const std::string &binary, const std::vector<std::string> &paths, worker_run *out,
                    std::string *error);

// Runs `binary` as a worker with every request in its input from the start
// and its answers going to a file. Fills `seconds`, `answered` and `cpu_us`
// of `out`, per pass over `paths`.
bool measure_worker_fed(const std::string &binary, const std::vector<std::string> &paths, worker_run *out,
                        std::string *error);

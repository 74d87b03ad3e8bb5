// Small readings of processes and times that the measures share.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Seconds on the monotonic clock.
double now_seconds();

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), or -1 when the
// process or the field is gone.
long status_kib(pid_t pid, const char *field);

// CPU time a process has used so far, in microseconds (the scheduler's
// own count, finer than the clock ticks of /proc/PID/stat), or -1.
double cpu_microseconds(pid_t pid);

// The value at fraction `q` (0..1) of `values` by the nearest-rank method;
// 0 for an empty list. Sorts a copy.
double percentile(std::vector<double> values, double q);

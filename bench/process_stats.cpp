#include "process_stats.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

double now_seconds() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

long status_kib(pid_t pid, const char *field) {
  g_autofree char *path = g_strdup_printf("/proc/%d/status", static_cast<int>(pid));
  g_autofree char *text = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, nullptr))
    return -1;
  size_t field_length = strlen(field);
  for (const char *line = text; line != nullptr && *line != '\0';) {
    if (strncmp(line, field, field_length) == 0 && line[field_length] == ':')
      return strtol(line + field_length + 1, nullptr, 10);
    line = strchr(line, '\n');
    if (line != nullptr)
      ++line;
  }
  return -1;
}

double cpu_microseconds(pid_t pid) {
  g_autofree char *path = g_strdup_printf("/proc/%d/schedstat", static_cast<int>(pid));
  g_autofree char *text = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, nullptr))
    return -1;
  return strtod(text, nullptr) / 1000;
}

double percentile(std::vector<double> values, double q) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  q = std::clamp(q, 0.0, 1.0);
  // Nearest rank: the smallest value with at least q of all values at or below it.
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[rank == 0 ? 0 : rank - 1];
}

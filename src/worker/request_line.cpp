#include "worker/request_line.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>

request_shape parse_request_line(char *line, long long *id, const char **path) {
  g_strchomp(line);
  char *colon = strchr(line, ':');
  if (colon == nullptr)
    return request_shape::malformed;
  *id = strtoll(line, nullptr, 10);
  if (colon[1] == '\0')
    return request_shape::empty_path;
  *path = colon + 1;
  return request_shape::file;
}

std::string format_answer(long long id, const char *json, long long size, long long modified) {
  return std::to_string(id) + ':' + std::to_string(size) + ':' + std::to_string(modified) + ':' + json + '\n';
}

std::string refused_answer(long long id, const char *word) {
  return std::to_string(id) + ":{\"returnValue\":false,\"errorText\":\"" + word + "\"}\n";
}

// Without an id the broker can't tell which request this answers, so it
// carries no reason either.
std::string malformed_answer() { return "{\"returnValue\":false}\n"; }

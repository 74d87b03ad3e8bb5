#include "worker/request_line.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>

const char *const failed_record = "{\"returnValue\":false}";

bool parse_request_line(char *line, long long *id, const char **path) {
  g_strchomp(line);
  char *colon = strchr(line, ':');
  if (colon == nullptr || colon[1] == '\0')
    return false;
  *id = strtoll(line, nullptr, 10);
  *path = colon + 1;
  return true;
}

std::string format_answer(long long id, const char *json) {
  std::string answer = std::to_string(id);
  answer += ':';
  answer += json;
  answer += '\n';
  return answer;
}

std::string malformed_answer() { return std::string(failed_record) + "\n"; }

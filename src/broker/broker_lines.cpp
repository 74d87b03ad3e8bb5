#include "broker/broker_lines.h"

#include "base/log.h"

#include <cstdlib>
#include <cstring>

const char *string_after_id(const char *text) {
  const char *colon = strchr(text, ':');
  if (colon == nullptr || colon[1] == '\0') {
    log_error("Invalid request or reply!\n");
    return nullptr;
  }
  return colon + 1;
}

long long line_id(const char *text) { return strtoll(text, nullptr, 10); }

bool path_has_line_end(const char *path) {
  // The worker's channel detects line ends by itself: "\n", "\r", "\r\n",
  // NUL and U+2029. A C string holds no NUL, so the other three remain.
  return strpbrk(path, "\n\r") != nullptr || strstr(path, "\xe2\x80\xa9") != nullptr;
}

answer_match match_answer(const char *request_line, const char *answer, const char **json) {
  if (line_id(request_line) != line_id(answer))
    return answer_match::other_id;
  const char *text = string_after_id(answer);
  if (text == nullptr)
    return answer_match::no_text;
  *json = text;
  return answer_match::collect;
}

#include "broker/broker_lines.h"

#include "base/log.h"

#include <glib.h>

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

namespace {

// Reads "DIGITS:" (with a leading "-" where `sign` allows) at *text, moving
// past it; false when the field is not so.
bool take_number(const char **text, bool sign, double *value) {
  const char *at = *text;
  bool negative = sign && *at == '-';
  if (negative)
    ++at;
  if (!g_ascii_isdigit(*at))
    return false;
  double number = 0;
  for (; g_ascii_isdigit(*at); ++at)
    number = number * 10 + (*at - '0');
  if (*at != ':')
    return false;
  *value = negative ? -number : number;
  *text = at + 1;
  return true;
}

} // namespace

answer_match match_answer(const char *request_line, const char *answer, answer_text *text) {
  if (line_id(request_line) != line_id(answer))
    return answer_match::other_id;
  const char *rest = string_after_id(answer);
  if (rest == nullptr)
    return answer_match::no_text;
  answer_text found;
  if (*rest == '-' || g_ascii_isdigit(*rest)) {
    if (!take_number(&rest, false, &found.size) || !take_number(&rest, true, &found.modified) || *rest == '\0')
      return answer_match::no_text;
  }
  found.json = rest;
  *text = found;
  return answer_match::collect;
}

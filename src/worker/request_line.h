// The worker's line protocol, as pure functions over texts.
#pragma once

#include <string>

// A request line taken apart. `line` is modified in place: trailing white
// space is stripped. On success `*id` is the decimal number at the start of
// the line (strtoll rules: 0 when no digits) and `*path` points into `line`
// just after its first colon. False when the line has no colon or nothing
// after it.
bool parse_request_line(char *line, long long *id, const char **path);

// The answer for a parsed request: "ID:JSON\n".
std::string format_answer(long long id, const char *json);
// The answer for a malformed request line: the failure record alone.
std::string malformed_answer();

// The record of a request that failed: {"returnValue":false}.
extern const char *const failed_record;

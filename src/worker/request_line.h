// The worker's line protocol, as pure functions over texts.
#pragma once

#include <string>

enum class request_shape {
  malformed,  // no colon: there is no id to answer
  empty_path, // an id and a colon, but no path after it
  file,       // an id and a path
};

// A request line taken apart. `line` is modified in place: trailing white
// space is stripped. Unless the line is malformed, `*id` is the decimal
// number at the start of the line (strtoll rules: 0 when no digits); for a
// file, `*path` points into `line` just after its first colon.
request_shape parse_request_line(char *line, long long *id, const char **path);

// The answer for a parsed request: "ID:JSON\n".
std::string format_answer(long long id, const char *json);
// The answer for a request whose file was not parsed: "ID:" and the failure
// record with its reason, {"returnValue":false,"errorText":WORD}.
std::string refused_answer(long long id, const char *word);
// The answer for a malformed request line: the failure record alone.
std::string malformed_answer();

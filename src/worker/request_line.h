// The worker's line protocol, as pure functions over texts.
//
// A request is "ID:PATH\n". A file the worker opened is answered
// "ID:SIZE:MODIFIED:JSON\n", its size in bytes and modification time in
// seconds taken by fstat of the descriptor it parsed: the service takes them
// from here and never looks at the file itself, so a file system that does
// not answer can stall only a worker. A file not opened (missing, refused)
// is answered "ID:JSON\n": size and time 0. The JSON text is an object, so
// it starts with "{" and the two forms can't be mistaken for each other.
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

// The answer for a parsed request: "ID:SIZE:MODIFIED:JSON\n".
std::string format_answer(long long id, const char *json, long long size, long long modified);
// The answer for a request whose file was not parsed: "ID:" and the failure
// record with its reason, {"returnValue":false,"errorText":WORD}.
std::string refused_answer(long long id, const char *word);
// The answer for a malformed request line: the failure record alone.
std::string malformed_answer();

// The broker's side of the worker's line protocol, as pure functions over
// texts: taking request and answer lines apart and deciding which paths can
// be sent at all.
#pragma once

// The part of `text` after its first colon. Null, logged, when the text has no
// colon or nothing after it.
const char *string_after_id(const char *text);

// The id at the start of a request or answer line, read as the worker reads
// it: a decimal number by strtoll's rules, 0 when the line starts with none.
long long line_id(const char *text);

// True when `path` holds a byte sequence that the worker's line reader takes
// as the end of a line (line feed, carriage return, the UTF-8 paragraph
// separator). Sent to the worker, such a path would split its request into
// two lines and every later answer would be paired with the wrong request.
bool path_has_line_end(const char *path);

enum class answer_match {
  collect,  // same id as the request, JSON text after the colon
  other_id, // an answer to some other request (or to none): discard it
  no_text,  // same id, but no colon or nothing after it
};

// Matches an answer line, trailing white space already stripped, against the
// request line in flight. On `collect`, *json points into `answer` just after
// its first colon.
answer_match match_answer(const char *request_line, const char *answer, const char **json);

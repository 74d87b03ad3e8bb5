// The broker's side of the worker's line protocol, as pure functions over
// texts: taking request and answer lines apart and deciding which paths can
// be sent at all.
//
// A request is "ID:PATH\n". The answer to a file the worker opened is
// "ID:SIZE:MODIFIED:RECORD\n": the size in bytes and the modification time
// in seconds (possibly negative) of the file it opened, by fstat of the same
// descriptor it parsed, so that the service never touches the file system
// itself. The answer to a file it did not open (missing, refused) is
// "ID:RECORD\n", as are the answers of older workers: a record is a JSON
// object and starts with "{", never with a digit or "-", which tells the two
// forms apart. Such a file has size 0 and time 0.
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

// What an answer carries beside its id.
struct answer_text {
  const char *json = nullptr; // points into the answer line
  double size = 0;
  double modified = 0;
};

enum class answer_match {
  collect,  // same id as the request, JSON text after the colon
  other_id, // an answer to some other request (or to none): discard it
  no_text,  // same id, but no record after it (or a size and time not well formed)
};

// Matches an answer line, trailing white space already stripped, against the
// request line in flight. On `collect`, *text holds the record and the file's
// size and time.
answer_match match_answer(const char *request_line, const char *answer, answer_text *text);

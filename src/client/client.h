// The command-line client of the service: the pieces that do not need a bus.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

// At most this many paths go in one call, which keeps every reply far below
// the bus's message size limit (32 MiB on a default dbus-daemon, which
// disconnects a sender that exceeds it).
const size_t max_paths_per_call = 1000;

// `path` made absolute against `cwd`; an absolute path is kept as it is.
std::string absolute_path(const std::string &path, const std::string &cwd);

// The "parse" payloads for `paths`: {"files":[...]} with at most `limit`
// paths each, plus "activityId" when `activity` is set. One payload for an
// empty list.
std::vector<std::string> parse_payloads(const std::vector<std::string> &paths, const int *activity, size_t limit);

// Appends the entries of one call's reply to `merged` ({"returnValue":true,
// "files":[]} to start with). False, `merged` unchanged, when `reply` is not
// a success reply.
bool merge_reply(json_object *merged, json_object *reply);

// The first picture location in `data`, searched depth first in member and
// element order: an object with "thumbOffset" and either "thumbSize" or
// "thumbLength", all whole non-negative numbers.
bool find_picture(json_object *data, int64_t *offset, int64_t *length);

// Copies `length` bytes at `offset` of file `from` to a new file `to`. On
// failure `*error` says why.
bool copy_range(const std::string &from, int64_t offset, int64_t length, const std::string &to, std::string *error);

// The JSON text to print: indented for a terminal, one line otherwise.
std::string reply_text(json_object *reply, bool terminal);

// The record of one accepted parse request while its files are parsed, and
// the pairing of the broker's answers with the request's paths.
#pragma once

#include <glib.h>

struct parse_batch {
  bool success;     // every path that could be queued was queued
  void *context;    // the request's record, handed on to the reply
  GArray *results;  // owned JSON texts, entry i for path i
  GArray *sizes;    // double: file size in bytes, 0 when unknown
  GArray *modified; // double: modification time in seconds, 0 when unknown
  GArray *paths;    // owned copies of the request's paths, in order
  GArray *queued;   // bool per path: sent to the broker
  guint answered;   // paths [0, answered) have their entry
};

// The record of a file whose answer never came.
extern const char *const dropped_record;

// A new record for `paths` (copied), all of them marked not queued.
parse_batch *parse_batch_new(void *context, const GArray *paths);
void parse_batch_free(parse_batch *batch);

// Files the broker's answer for `path` (as the broker reports it: trailing
// white space stripped) under the first path not yet answered that was
// queued and matches; every path skipped on the way lost its answer and gets
// the dropped record. An answer that matches no open path is logged and
// ignored.
void parse_batch_collect(parse_batch *batch, const char *path, const char *json);
// Gives every path still without an entry the dropped record.
void parse_batch_complete(parse_batch *batch);

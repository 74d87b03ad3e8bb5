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
  // Bytes of record text the batch may still hold; a record past it is
  // replaced with reply_too_large_record, and so is every one after it.
  size_t record_budget;
};

// The record of a file whose answer never came.
extern const char *const dropped_record;
// The record of a file whose answer came after its call's records passed
// their budget.
extern const char *const reply_too_large_record;

// A new record for `paths` (copied), all of them marked not queued, that may
// hold `record_budget` bytes of record text.
parse_batch *parse_batch_new(void *context, const GArray *paths, size_t record_budget = G_MAXSIZE);
void parse_batch_free(parse_batch *batch);

// Files the broker's answer for `path` (as the broker reports it: trailing
// white space stripped) under the first path not yet answered that was
// queued and matches; every path skipped on the way lost its answer and gets
// the dropped record. An answer that matches no open path is logged and
// ignored. `size` and `modified` are the file's as the worker found them;
// the skipped paths get 0 and 0.
void parse_batch_collect(parse_batch *batch, const char *path, const char *json, double size = 0,
                         double modified = 0);
// Gives every path still without an entry the dropped record.
void parse_batch_complete(parse_batch *batch);

#include "service/batch_record.h"

#include "base/log.h"

#include <cstring>

const char *const dropped_record = "{\"returnValue\":false,\"errorText\":\"notAnswered\"}";
const char *const reply_too_large_record = "{\"returnValue\":false,\"errorText\":\"replyTooLarge\"}";

namespace {

// Appends the next entry: the text, and the file's size and time as the
// worker found them. The service never looks at the file itself: a file
// system that does not answer would stop its main loop.
void append_entry(parse_batch *batch, const char *path, const char *json, double size = 0, double modified = 0) {
  size_t length = strlen(json);
  if (length > batch->record_budget) {
    if (batch->record_budget > 0)
      log_error("Records of one call pass the reply's bound, later ones refused! %s\n", path);
    batch->record_budget = 0;
    json = reply_too_large_record;
  } else {
    batch->record_budget -= length;
  }
  char *text = g_strdup(json);
  g_array_append_val(batch->results, text);
  g_array_append_val(batch->sizes, size);
  g_array_append_val(batch->modified, modified);
  ++batch->answered;
}

// The broker reports a path with its trailing white space stripped.
bool same_path(const char *requested, const char *reported) {
  g_autofree char *stripped = g_strchomp(g_strdup(requested));
  return strcmp(stripped, reported) == 0;
}

} // namespace

parse_batch *parse_batch_new(void *context, const GArray *paths, size_t record_budget) {
  auto *batch = g_new0(parse_batch, 1);
  batch->success = true;
  batch->record_budget = record_budget;
  batch->context = context;
  batch->results = g_array_new(FALSE, FALSE, sizeof(char *));
  batch->sizes = g_array_new(FALSE, FALSE, sizeof(double));
  batch->modified = g_array_new(FALSE, FALSE, sizeof(double));
  batch->paths = g_array_sized_new(FALSE, FALSE, sizeof(char *), paths->len);
  batch->queued = g_array_sized_new(FALSE, TRUE, sizeof(bool), paths->len);
  for (guint i = 0; i < paths->len; ++i) {
    char *copy = g_strdup(g_array_index(paths, char *, i));
    g_array_append_val(batch->paths, copy);
  }
  g_array_set_size(batch->queued, paths->len);
  return batch;
}

void parse_batch_free(parse_batch *batch) {
  if (batch == nullptr)
    return;
  for (guint i = 0; i < batch->results->len; ++i)
    g_free(g_array_index(batch->results, char *, i));
  g_array_free(batch->results, TRUE);
  g_array_free(batch->sizes, TRUE);
  g_array_free(batch->modified, TRUE);
  for (guint i = 0; i < batch->paths->len; ++i)
    g_free(g_array_index(batch->paths, char *, i));
  g_array_free(batch->paths, TRUE);
  g_array_free(batch->queued, TRUE);
  g_free(batch);
}

void parse_batch_collect(parse_batch *batch, const char *path, const char *json, double size, double modified) {
  guint match = batch->answered;
  while (match < batch->paths->len &&
         !(g_array_index(batch->queued, bool, match) && same_path(g_array_index(batch->paths, char *, match), path)))
    ++match;
  if (match == batch->paths->len) {
    log_error("Collected an answer for a path not in the batch! %s\n", path);
    return;
  }
  while (batch->answered < match)
    append_entry(batch, g_array_index(batch->paths, char *, batch->answered), dropped_record);
  append_entry(batch, g_array_index(batch->paths, char *, match), json, size, modified);
}

void parse_batch_complete(parse_batch *batch) {
  while (batch->answered < batch->paths->len)
    append_entry(batch, g_array_index(batch->paths, char *, batch->answered), dropped_record);
}

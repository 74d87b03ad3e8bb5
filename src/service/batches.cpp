#include "service/batches.h"

#include "broker/broker.h"
#include "bus/ipc.h"
#include "base/log.h"
#include "service/batch_record.h"
#include "service/lifetime.h"

namespace {

// Open batches, oldest first. Each lane completes its own batches in order,
// but batches on different lanes complete in any order: the list serves the
// release of what is still open at teardown.
GQueue *pending_ipc_results;

} // namespace

bool batches_new() {
  pending_ipc_results = g_queue_new();
  return pending_ipc_results != nullptr;
}

void batches_free() {
  if (pending_ipc_results == nullptr)
    return;
  while (auto *batch = static_cast<parse_batch *>(g_queue_pop_head(pending_ipc_results))) {
    // A refused request was released when it was refused.
    if (batch->success)
      quarn_ipc_release_request(batch->context);
    parse_batch_free(batch);
  }
  g_queue_free(pending_ipc_results);
  pending_ipc_results = nullptr;
}

bool ipc_queue(const GArray *paths, void *context) {
  if (paths->len == 0) {
    quarn_ipc_join_activity(context);
    GArray *empty = g_array_new(FALSE, FALSE, sizeof(char *));
    quarn_ipc_reap(empty, empty, empty, context);
    g_array_free(empty, TRUE);
    return true;
  }
  stop_idle_timeout();
  parse_batch *batch = parse_batch_new(context, paths, quarn_ipc_record_budget(paths));
  g_queue_push_tail(pending_ipc_results, batch);
  // The whole batch goes to one worker: that is the process its activity maps.
  int pid = 0;
  metadata_open_batch(batch, &pid);
  quarn_ipc_associate(pid);
  quarn_ipc_join_activity(context);
  for (guint i = 0; i < paths->len; ++i) {
    if (!metadata_request(g_array_index(paths, char *, i))) {
      log_error("Failed to queue request to metadata parser.\n");
      batch->success = false;
      break;
    }
    g_array_index(batch->queued, bool, i) = true;
  }
  // The delimiter can complete and release this very batch.
  bool success = batch->success;
  metadata_delimit();
  return success;
}

void metadata_collect(void *context, const char *path, const char *json, double size, double modified) {
  auto *batch = static_cast<parse_batch *>(context);
  if (batch == nullptr) {
    log_error("Collected an answer with no batch open! %s\n", path);
    return;
  }
  parse_batch_collect(batch, path, json, size, modified);
}

void metadata_delimit_reached(void *context) {
  auto *batch = static_cast<parse_batch *>(context);
  if (batch == nullptr || !g_queue_remove(pending_ipc_results, batch)) {
    log_error("Delimiter reached with no batch open!\n");
    return;
  }
  if (batch->success) {
    parse_batch_complete(batch);
    quarn_ipc_reap(batch->results, batch->sizes, batch->modified, batch->context);
  }
  parse_batch_free(batch);
  if (metadata_queue_is_empty())
    start_or_restart_idle_timeout();
}

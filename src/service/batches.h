// Batch collection: one batch per accepted parse request, filled from the
// broker's answers and answered when the broker reaches its delimiter. A
// batch goes whole to one of the broker's lanes; batches on one lane
// complete in arrival order.
#pragma once

#include <glib.h>

// Creates and releases the FIFO of open batches. Batches still open at
// release get no reply: their requests are released, which tells the callers
// their calls were dropped.
bool batches_new();
void batches_free();

// The parse-request handler: queues one broker request per path and a
// delimiter. False when a path was refused; the caller then answers the
// request with an error itself.
bool ipc_queue(const GArray *paths, void *context);
// The broker's callbacks.
void metadata_collect(void *batch, const char *path, const char *json, double size, double modified);
void metadata_delimit_reached(void *batch);

// The parser broker: a few lanes, each owning one worker process. A batch of
// requests goes whole to one lane; a lane writes requests ahead of their
// answers, times the oldest out, respawns a dead worker and reports toxic
// files. Everything runs on the GLib default main context, single-threaded.
#pragma once

#include <cstddef>
#include <vector>

// Callbacks carry the batch their request or delimiter was queued with. The
// collect callback gets the file's size and modification time as the worker
// found them on the file it opened (0 and 0 where it opened none).
typedef void (*metadata_collect_fn)(void *batch, const char *path, const char *json, double size,
                                    double modified);
typedef void (*metadata_delimit_fn)(void *batch);
typedef void (*metadata_respawn_fn)(int pid);

// Sets up the lanes and spawns the first lane's worker; its pid goes to
// *pid. On failure everything is released and false returned. From here on
// the process ignores SIGPIPE, so that a write to a worker that has just died
// fails instead of ending it.
bool metadata_new(int *pid);
// Ends every worker (closing its input ends an idle one; one busy with a
// request is killed, as it might never read that end), drops every queued
// and unanswered item without callbacks and removes the time-outs.
void metadata_free();
// Drops every queued and unanswered item.
void metadata_clear();
// Opens a batch: the requests and the delimiter that follow go to the lane
// with the fewest unanswered paths, whose worker is started now if the lane
// has none yet, and their callbacks carry `batch`. *pid is that worker (0:
// none). metadata_request and metadata_delimit open one themselves, for a
// null batch, when none is open.
void metadata_open_batch(void *batch, int *pid);
// Queues one request for `path` in the open batch; sends nothing yet. A path
// holding a line end is never sent: it is answered in its place.
bool metadata_request(const char *path);
// Queues the open batch's delimiter, closes the batch and starts sending. The
// delimit callback may run before this returns.
void metadata_delimit();
// True when no lane holds a queued or unanswered item.
bool metadata_queue_is_empty();

void metadata_register_collect(metadata_collect_fn callback);
void metadata_register_delimit_reached(metadata_delimit_fn callback);
void metadata_register_respawn_process(metadata_respawn_fn callback);

// The number of lanes for `online_cpus` processors: one each, at most four,
// at least one.
size_t metadata_lane_count(long online_cpus);
// The lane for the next batch: the one with the fewest unanswered paths among
// those that can take requests (the first such on a tie), else the first.
size_t metadata_choose_lane(const std::vector<size_t> &unanswered, const std::vector<bool> &usable);

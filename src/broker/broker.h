// The parser broker: owns the worker process, queues request lines, sends one
// at a time, times each out, respawns a dead worker and reports toxic files.
// Everything runs on the GLib default main context, single-threaded.
#pragma once

typedef void (*metadata_collect_fn)(const char *path, const char *json);
typedef void (*metadata_delimit_fn)();
typedef void (*metadata_respawn_fn)(int pid);

// Spawns the first worker; its pid goes to *pid. On failure everything is
// released and false returned. From here on the process ignores SIGPIPE, so
// that a write to a worker that has just died fails instead of ending it.
bool metadata_new(int *pid);
// Closes the worker's pipes (it exits on end of input; a worker busy with a
// request is killed, as it might never read that end), drops every queued and
// in-flight item without callbacks and removes the time-out.
void metadata_free();
// Drops every queued item and the in-flight one.
void metadata_clear();
// Queues one request for `path`; sends nothing yet. A path holding a line end
// is never sent: it is answered {"returnValue":false} in its place.
bool metadata_request(const char *path);
// Queues a batch delimiter and starts sending. The delimit callback may run
// before this returns.
void metadata_delimit();
// True when nothing is queued (the in-flight item does not count).
bool metadata_queue_is_empty();

void metadata_register_collect(metadata_collect_fn callback);
void metadata_register_delimit_reached(metadata_delimit_fn callback);
void metadata_register_respawn_process(metadata_respawn_fn callback);

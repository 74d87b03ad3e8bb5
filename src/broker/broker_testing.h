// Entry points for the broker's own tests. The service never calls them, so
// an installed service always spawns its fixed worker with the fixed time-out.
#pragma once

// Seconds a request may take before its worker is killed; 0 restores the
// product's 60 seconds.
void metadata_set_timeout_for_testing(unsigned seconds);

// Spawns the executable at `path` (which must outlive its use) as the worker
// instead of the built-in one; null restores the built-in one.
void metadata_set_worker_path_for_testing(const char *path);

// The number of lanes metadata_new sets up; 0 restores one per online
// processor.
void metadata_set_lanes_for_testing(unsigned count);

// The worker's own request loop for memcheck. Valgrind can't run the confined
// worker: the seccomp filter the worker installs binds valgrind too, whose
// own output and scheduler lock use descriptors the filter forbids writes to.
// This binary links the worker's code unchanged except for a confinement that
// does nothing, so everything the worker allocates per request is checked.
#include "worker/confine.h"
#include "worker/worker_main.h"

confinement_result confine_worker(int) { return {true, true, true, true, true}; }

int main(int argc, char **argv) { return main_child(argc, argv); }

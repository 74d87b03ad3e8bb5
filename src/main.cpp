// One executable, two roles: without arguments the bus service, with any
// argument the parser worker the service spawns.
#include "service/service_main.h"
#include "worker/worker_main.h"

int main(int argc, char **argv) {
  if (argc <= 1)
    return main_parent(argc, argv);
  return main_child(argc, argv);
}

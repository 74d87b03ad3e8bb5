// One executable, two roles: without arguments the bus service, with any
// argument the parser worker the service spawns.
#include "worker/worker_main.h"

#include <cstdio>

#if __has_include("service/service_main.h")
#include "service/service_main.h"
#else
static int main_parent(int, char **) {
  fprintf(stderr, "mediasiftd: the service role is not built yet; run with -demon for the worker\n");
  return 1;
}
#endif

int main(int argc, char **argv) {
  if (argc <= 1)
    return main_parent(argc, argv);
  return main_child(argc, argv);
}

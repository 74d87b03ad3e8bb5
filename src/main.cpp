// One executable, two roles: without arguments the bus service, with an
// argument the parser worker the service spawns (it passes "-demon"). A
// person who starts the program by hand with an argument gets its usage
// rather than a worker silently waiting on the terminal.
#include "service/service_main.h"
#include "worker/worker_main.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char *const usage_text = "usage: mediasiftd            run the media metadata service on the bus\n"
                               "       mediasiftd --help     show this text\n"
                               "       mediasiftd --version  show the version\n"
                               "The bus starts the service on the first call; it spawns its own parser\n"
                               "worker as \"mediasiftd -demon\".\n";

} // namespace

int main(int argc, char **argv) {
  if (argc <= 1)
    return main_parent(argc, argv);
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    fputs(usage_text, stdout);
    return 0;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("mediasiftd %s\n", MS_VERSION);
    return 0;
  }
  if (strcmp(argv[1], "-demon") != 0 && isatty(STDIN_FILENO)) {
    fprintf(stderr, "mediasiftd: unknown argument %s\n%s", argv[1], usage_text);
    return 2;
  }
  return main_child(argc, argv);
}

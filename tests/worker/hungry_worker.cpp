// The real worker loop and confinement with a parser that wants memory
// without end for any path ending in ".hungry" (how a file that makes a
// library allocate without bound behaves under the worker's memory ceiling),
// that has GLib warn for one ending in ".warns" (a library's warning must
// not trip the confinement), and that faults on a null pointer for ".crashes"
// and opens a socket for ".forbidden" (a parser hijacked or broken).
// Defining parse_file here keeps the dispatch's own out of the link.
#include "extract/dispatch.h"
#include "worker/worker_main.h"

#include <glib.h>
#include <json-c/json.h>

#include <sys/socket.h>

#include <cstring>

bool parse_file(const char *path, json_object *root, open_refusal *, struct stat *) {
  if (g_str_has_suffix(path, ".hungry")) {
    constexpr size_t chunk = 64u << 20;
    for (;;) // g_malloc aborts the worker when the ceiling refuses a chunk
      memset(g_malloc(chunk), 1, chunk);
  }
  if (g_str_has_suffix(path, ".crashes")) {
    volatile int *nowhere = nullptr;
    *nowhere = 1;
  }
  if (g_str_has_suffix(path, ".forbidden"))
    socket(AF_INET, SOCK_STREAM, 0);
  if (g_str_has_suffix(path, ".warns"))
    g_warning("a library complains about %s", path);
  json_object_object_add(root, "returnValue", json_object_new_boolean(1));
  return true;
}

int main(int argc, char **argv) { return main_child(argc, argv); }

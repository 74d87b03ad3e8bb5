#include "service/service_main.h"

#include "broker/broker.h"
#include "bus/ipc.h"
#include "base/log.h"
#include "service/batches.h"
#include "service/lifetime.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

GMainLoop *loop;
guint quit_timeout;
guint sigterm_source;

gboolean idle_quit_reached(gpointer) {
  quit_timeout = 0;
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

// Runs on the loop, not in signal context: the signal source hands it over.
gboolean handle_sigterm(gpointer) {
  log_error("SIGTERM hit! exiting main loop.\n");
  g_main_loop_quit(loop);
  return G_SOURCE_CONTINUE;
}

void release_loop() {
  if (sigterm_source != 0) {
    g_source_remove(sigterm_source);
    sigterm_source = 0;
  }
  g_main_loop_unref(loop);
  loop = nullptr;
}

} // namespace

void stop_idle_timeout() {
  if (quit_timeout != 0) {
    g_source_remove(quit_timeout);
    quit_timeout = 0;
  }
}

void start_or_restart_idle_timeout() {
  stop_idle_timeout();
  guint seconds = 0;
  if (quit_delay_seconds(g_getenv("QUIT_DELAY"), &seconds))
    quit_timeout = g_timeout_add_seconds(seconds, idle_quit_reached, nullptr);
}

int main_parent(int argc, char **argv) {
  // A worker or caller that went away must show up as a failed write, not
  // end the service.
  signal(SIGPIPE, SIG_IGN);
  log_open(argc > 0 && argv[0] != nullptr ? argv[0] : "mediasiftd");

  loop = g_main_loop_new(nullptr, FALSE);
  if (loop == nullptr) {
    log_error("Failed to allocate main loop!\n");
    return 1;
  }
  if (!batches_new()) {
    log_error("Failed to allocate result queue.\n");
    release_loop();
    return 2;
  }
  sigterm_source = g_unix_signal_add(SIGTERM, handle_sigterm, nullptr);
  if (sigterm_source == 0) {
    log_error("Failed to set SIGTERM handler!\n");
    batches_free();
    release_loop();
    return 3;
  }
  if (!quarn_ipc_new(loop)) {
    log_error("Failed to init ipc calls!\n");
    batches_free();
    release_loop();
    return 4;
  }
  quarn_ipc_register_queue(ipc_queue);
  int pid = 0;
  if (!metadata_new(&pid)) {
    log_error("Failed to make metadata parser!\n");
    batches_free();
    quarn_ipc_free();
    release_loop();
    return 5;
  }
  // An empty call maps the first worker; every other call maps the worker
  // of the lane that takes it.
  quarn_ipc_associate(pid);
  metadata_register_collect(metadata_collect);
  metadata_register_delimit_reached(metadata_delimit_reached);
  start_or_restart_idle_timeout();

  g_main_loop_run(loop);

  stop_idle_timeout();
  batches_free();
  metadata_free();
  quarn_ipc_free();
  release_loop();
  return 0;
}

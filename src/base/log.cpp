#include "base/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Prefix "ident[pid]: " as LOG_PERROR writes it, prepared at open time so the
// signal-safe path only copies bytes.
char signal_prefix[128];
size_t signal_prefix_len;
int signal_socket = -1;
void (*message_sink)(const char *message);
// Set once the worker is confined: messages then go only through the
// descriptors opened beforehand, never through syslog's own reconnects.
bool prepared_only;

void prepare_signal_path(const char *ident) {
  int n = snprintf(signal_prefix, sizeof signal_prefix, "%s[%d]: ", ident, static_cast<int>(getpid()));
  signal_prefix_len = n > 0 ? std::min(static_cast<size_t>(n), sizeof signal_prefix - 1) : 0;
  if (signal_socket >= 0)
    close(signal_socket);
  signal_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (signal_socket < 0)
    return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
  if (connect(signal_socket, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(signal_socket);
    signal_socket = -1;
  }
}

void append(char *buf, size_t cap, size_t *len, const char *text, size_t n) {
  if (*len >= cap)
    return;
  size_t room = cap - *len;
  if (n > room)
    n = room;
  memcpy(buf + *len, text, n);
  *len += n;
}


// Writes "ident[pid]: message" to standard error and, when a log socket was
// reachable at open time, sends it there as a LOG_USER|LOG_ERR record. Uses
// only async-signal-safe calls.
void emit_prepared(const char *message, size_t length) {
  char line[4096];
  size_t len = 0;
  append(line, sizeof line, &len, signal_prefix, signal_prefix_len);
  append(line, sizeof line, &len, message, length);
  ssize_t ignored = write(STDERR_FILENO, line, len);
  (void)ignored;
  if (signal_socket >= 0) {
    char packet[4200];
    size_t plen = 0;
    append(packet, sizeof packet, &plen, "<11>", 4); // LOG_USER (8) + LOG_ERR (3)
    append(packet, sizeof packet, &plen, line, len);
    ignored = send(signal_socket, packet, plen, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;
  }
}

} // namespace

void log_open(const char *ident) {
  openlog(ident, LOG_PID | LOG_CONS | LOG_PERROR, LOG_USER);
  prepare_signal_path(ident);
}

void log_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  if (message_sink != nullptr) {
    va_list copy;
    va_copy(copy, ap);
    char *text = g_strdup_vprintf(fmt, copy);
    va_end(copy);
    message_sink(text);
    g_free(text);
  }
  if (prepared_only) {
    char *text = g_strdup_vprintf(fmt, ap);
    emit_prepared(text, strlen(text));
    g_free(text);
  } else {
    vsyslog(LOG_ERR, fmt, ap);
  }
  va_end(ap);
}

void log_set_sink(void (*sink)(const char *message)) { message_sink = sink; }


void log_error_signal_safe(const char *message) { emit_prepared(message, strlen(message)); }

void log_use_prepared_channels() { prepared_only = true; }

int log_socket_fd() { return signal_socket; }

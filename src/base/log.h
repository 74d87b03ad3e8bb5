// System log helper shared by both roles of the executable.
#pragma once

// Opens the system log with this system's options (LOG_PID, LOG_CONS,
// LOG_PERROR, facility LOG_USER). `ident` must outlive the process's logging.
void log_open(const char *ident);

// Logs one message at LOG_ERR. Messages carry their own trailing line feed.
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs a fixed message from signal context: only async-signal-safe calls
// (write to standard error and a send to the log socket, if one is reachable).
void log_error_signal_safe(const char *message);

// From now on messages go only to standard error and to the log socket that
// log_open connected, if any: syslog itself would reconnect or fall back to
// the console, which a confined worker may not do.
void log_use_prepared_channels();
// The log socket log_open connected, or -1.
int log_socket_fd();

// Test hook: every message logged through log_error is also handed, formatted,
// to `sink` (null to stop). The service and the worker never set one.
void log_set_sink(void (*sink)(const char *message));

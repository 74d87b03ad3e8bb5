// The service's idle time-out.
#pragma once

#include <glib.h>

// (Re)arms the idle time-out from "QUIT_DELAY" (read at every call).
void start_or_restart_idle_timeout();
// Stops it while a batch is in progress.
void stop_idle_timeout();

// The idle delay "QUIT_DELAY" asks for: unset is 15 seconds, "0" is never
// (false), anything else is read with strtol, base 10. A count that does not
// fit 32 bits, or is negative, is the longest delay there is.
bool quit_delay_seconds(const char *value, guint *seconds);

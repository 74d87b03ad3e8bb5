#pragma once

#include <glib.h>

// A GLib I/O channel over `fd` that passes raw bytes (no character-set
// conversion), or null with a log line.
GIOChannel *build_unencoded_channel(int fd);

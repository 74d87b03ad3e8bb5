#include "formats/playlist/playlist.h"

void parse_m3u(FILE *, json_object *, const char *) {}

#include "formats/mp4/mp4.h"

void parse_mp4(FILE *, json_object *) {}

#include "formats/image/image.h"

void parse_exif(FILE *, json_object *, const char *) {}
void parse_tiff(FILE *, json_object *, const char *) {}

// TIFF files: the record only says that the file is one; nothing is read.
#include "base/log.h"
#include "base/json_helpers.h"
#include "formats/image/image.h"

void parse_tiff(const source_file &, json_object *root, const char *) {
  json_object *tiff = json_object_new_object();
  if (!json_is_created(tiff)) {
    log_error("Failed to allocate exif info object!\n");
    return;
  }
  json_object_object_add(root, "tiff", tiff);
}

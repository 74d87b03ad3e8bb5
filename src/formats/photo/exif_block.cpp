// An EXIF block found in a PNG, WebP or HEIF file, turned into the same
// "exif" member a JPEG's APP1 segment gives: the thumbnail's length and
// location first, then every entry under libexif's name for its tag.
#include "formats/photo/photo.h"

#include "base/json_helpers.h"
#include "base/log.h"
#include "formats/image/exif_internal.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

using exif_data_ptr = std::unique_ptr<ExifData, fn_deleter<&exif_data_free>>;

// libexif loads a block that begins with this identifier, as a JPEG's APP1
// payload does; the other containers store the TIFF header directly.
constexpr unsigned char exif_identifier[] = {'E', 'x', 'i', 'f', 0, 0};

} // namespace

void add_exif_block(json_object *root, const unsigned char *tiff, size_t size, uint64_t tiff_offset) {
  json_object *exif = json_object_new_object();
  if (!json_is_created(exif)) {
    log_error("Failed to allocate exif info object!\n");
    return;
  }
  json_object_object_add(root, "exif", exif);
  std::vector<unsigned char> block(sizeof exif_identifier + size);
  memcpy(block.data(), exif_identifier, sizeof exif_identifier);
  if (size > 0)
    memcpy(block.data() + sizeof exif_identifier, tiff, size);
  exif_data_ptr data(exif_load_as_stored(block.data(), static_cast<unsigned int>(block.size())));
  if (!data) {
    log_error("Failed to parse image exif!\n");
    return;
  }
  const ExifByteOrder order = exif_data_get_byte_order(data.get());
  if (data->data != nullptr && data->size != 0 && block.size() >= exif_min_block) {
    add_field(exif, "JPEGInterchangeFormatLength", static_cast<int>(data->size));
    add_field(exif, "thumbLength", static_cast<int>(data->size));
    uint32_t offset = 0;
    if (exif_find_thumbnail(block.data(), block.size(), order, data->size, &offset)) {
      add_int64_field(exif, "JPEGInterchangeFormat", offset);
      add_int64_field(exif, "thumbOffset", static_cast<int64_t>(tiff_offset + offset));
    }
  }
  exif_walk_state state{exif, order, EXIF_IFD_COUNT};
  exif_data_foreach_content(data.get(), handle_exif_content, &state);
  add_exif_location(root, data.get());
}

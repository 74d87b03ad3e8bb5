// The thumbnail search alone over an arbitrary APP1 payload, in the byte order
// its TIFF header names. A found thumbnail must lie inside the payload.
#include "formats/image/exif_internal.h"

#include <cstdlib>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ExifByteOrder order =
      size >= 8 && data[6] == 'I' && data[7] == 'I' ? EXIF_BYTE_ORDER_INTEL : EXIF_BYTE_ORDER_MOTOROLA;
  for (uint32_t thumb_size : {1u, 0xFFFFFFFFu}) {
    uint32_t offset = 0;
    if (exif_find_thumbnail(data, size, order, thumb_size, &offset) && 6 + uint64_t{offset} + thumb_size > size)
      abort();
  }
  return 0;
}

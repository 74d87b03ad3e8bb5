#!/bin/sh
# Makes the JPEG and TIFF fixtures of the image tests with ImageMagick and
# exiftool (Debian's libimage-exiftool-perl). Run from this folder; the files
# it makes are committed, so the tests never need the tools.
set -eu
cd "$(dirname "$0")"

# The pictures: a small gradient and the thumbnail embedded in some of them.
convert -size 32x24 gradient:red-blue -quality 70 no_exif.jpg
convert -size 8x6 xc:orange -quality 70 thumb.jpg
convert -size 4x4 xc:gray -compress none plain.tif

# A camera's usual entries, with and without a thumbnail, in both byte orders.
write_entries() { # output byte-order thumbnail(yes/no)
  cp no_exif.jpg "$1"
  set -- "$@" -q -overwrite_original -ExifByteOrder="$2" \
    -Make=Kivo -Model=KV-1 -Orientation#=6 \
    "-DateTimeOriginal=2021:03:04 05:06:07" -ExposureTime=1/250 -FNumber=2.8 -ISO=200 \
    -GPSLatitude=37.5 -GPSLatitudeRef=N
  out=$1 thumb=$3
  shift 3
  if [ "$thumb" = yes ]; then
    exiftool "$@" "-ThumbnailImage<=thumb.jpg" "$out"
  else
    exiftool "$@" "$out"
  fi
}
write_entries thumb_motorola.jpg MM yes
write_entries thumb_intel.jpg II yes
write_entries no_thumb.jpg II no

# One entry only: exiftool adds the resolution and positioning entries to a
# new IFD 0, so they are taken out again in a second step.
cp no_exif.jpg make_only.jpg
exiftool -q -overwrite_original -Make=Kivo make_only.jpg
exiftool -q -overwrite_original -IFD0:XResolution= -IFD0:YResolution= \
  -IFD0:ResolutionUnit= -IFD0:YCbCrPositioning= make_only.jpg

# GPS positions in both byte orders and all four hemispheres, above and below
# sea level.
cp no_exif.jpg gps_north_east.jpg
exiftool -q -overwrite_original -ExifByteOrder=II -GPSLatitude=59.329323 -GPSLatitudeRef=N \
  -GPSLongitude=18.068581 -GPSLongitudeRef=E -GPSAltitude#=28.5 -GPSAltitudeRef#=0 gps_north_east.jpg
cp no_exif.jpg gps_south_west.jpg
exiftool -q -overwrite_original -ExifByteOrder=MM -GPSLatitude=22.906847 -GPSLatitudeRef=S \
  -GPSLongitude=43.172896 -GPSLongitudeRef=W -GPSAltitude#=12.25 -GPSAltitudeRef#=1 gps_south_west.jpg

# The other picture formats, for their sizes: PNG, GIF, BMP with the later
# information header (stored bottom row first) and with the old 12-byte one.
convert -size 5x3 xc:green -define png:exclude-chunks=date,time size.png
convert -size 7x2 xc:blue size.gif
convert -size 3x4 xc:red size.bmp
convert -size 6x5 xc:red bmp2:size_os2.bmp

# What the files hold, for reading alongside the expected records.
for f in thumb_motorola.jpg thumb_intel.jpg no_thumb.jpg make_only.jpg gps_north_east.jpg gps_south_west.jpg; do
  echo "== $f"
  exiftool -a -G1 -s -H -EXIF:all "$f"
done > holds.txt

# The EXIF payloads of the fixtures seed the fuzzing of the thumbnail search.
mkdir -p ../../fuzz/image/exif_blocks
python3 - <<'PY'
import os
for name in ("thumb_motorola", "thumb_intel", "no_thumb", "make_only"):
    data = open(name + ".jpg", "rb").read()
    at = data.index(b"Exif\0\0")
    length = int.from_bytes(data[at - 2:at], "big") - 2
    with open(os.path.join("../../fuzz/image/exif_blocks", name + ".exif"), "wb") as out:
        out.write(data[at:at + length])
PY

#!/bin/sh
# Makes the photo fixtures with real tools from the JPEG fixture
# ../image/thumb_intel.jpg (a camera's entries and a thumbnail, Intel byte
# order): ImageMagick and exiftool for PNG, cwebp and exiftool for WebP,
# heif-enc (libheif-examples) for HEIC and AVIF, which copies the JPEG's
# EXIF block as it is. Needs imagemagick, libimage-exiftool-perl, webp and
# libheif-examples.
#
# The EXIF entries of every record must equal those of thumb_intel.jpg's
# record, and the thumbnail each locates must be the JPEG's thumbnail: the
# photo tests check both. Beside each file, FILE.json is its whole
# expected record.
set -eu
cd "$(dirname "$0")"
jpeg=../image/thumb_intel.jpg
plain=../image/no_exif.jpg
copy_exif() { # file: the JPEG's EXIF entries and thumbnail, written by exiftool
  exiftool -q -overwrite_original -tagsfromfile "$jpeg" -exif:all "-ThumbnailImage<=../image/thumb.jpg" "$1"
}

# No time chunks or texts of ImageMagick's own: the file stays the same.
convert "$plain" -define png:exclude-chunks=date,time +set date:create +set date:modify photo.png
copy_exif photo.png
exiftool -q -overwrite_original -Title="A title" -Comment="Caf$(printf '\303\251')" photo.png

cwebp -quiet "$plain" -o photo.webp
copy_exif photo.webp

heif-enc -q 50 "$jpeg" -o photo.heic
heif-enc -A -q 50 "$jpeg" -o photo.avif

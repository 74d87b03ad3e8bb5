#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: packages already present are left alone and apt is not touched
# when nothing is missing. Works as root, and through sudo otherwise.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libglib2.0-dev libjson-c-dev libid3tag0-dev libexif-dev zlib1g-dev libmimalloc-dev
  libgtest-dev googletest
  dbus-daemon dbus-bin
  clang libclang-rt-14-dev
  valgrind libseccomp-dev
  python3-fuse fuse3
)
# Extra tools for the benchmark's peers and for remaking fixtures; only on
# request, since the suite itself runs on the committed fixtures.
if [[ "${1:-}" == "--with-tools" ]]; then
  packages+=(ffmpeg python3-mutagen libimage-exiftool-perl imagemagick eyed3
    flac vorbis-tools opus-tools libheif-examples webp)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2

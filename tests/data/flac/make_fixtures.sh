#!/bin/sh
# Makes the FLAC fixtures with real tools: ffmpeg for a quarter second of
# tone and the cover images, flac and metaflac for the tags and pictures,
# mutagen for an ID3 tag in front of the stream. Needs ffmpeg, flac and
# python3-mutagen.
#
#   tagged.flac       comments (a repeated ARTIST, a lower-case key), a JPEG
#                     front cover and a PNG back cover, stored as-is.
#   id3_in_front.flac the same stream with an ID3v2 tag before "fLaC".
#
# Beside each file, FILE.json is its whole expected record; check.py prints
# what mutagen reads from the same files to compare it with.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff="ffmpeg -hide_banner -loglevel error -y"
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

$ff -f lavfi -i color=c=red:s=8x8 -frames:v 1 -bitexact cover.jpg
$ff -f lavfi -i color=c=blue:s=4x4 -frames:v 1 -bitexact back.png
$ff -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.25" -ac 1 -c:a pcm_s16le -fflags +bitexact "$tmp/tone.wav"

flac --silent --force --no-seektable --padding=64 -o tagged.flac \
  --tag=TITLE="Sine Song" --tag=ARTIST="Tone Maker" --tag=ARTIST="Second Maker" \
  --tag=album="Test Tones" --tag=TRACKNUMBER=3 "$tmp/tone.wav"
metaflac --import-picture-from="3|image/jpeg|Front|8x8x24|cover.jpg" tagged.flac
metaflac --import-picture-from="4|image/png|Back|4x4x24|back.png" tagged.flac

cp tagged.flac id3_in_front.flac
$python - id3_in_front.flac <<'PY'
import sys
from mutagen.id3 import ID3, TIT2
tag = ID3()
tag.add(TIT2(encoding=3, text="Tagged in front"))
tag.save(sys.argv[1])
PY

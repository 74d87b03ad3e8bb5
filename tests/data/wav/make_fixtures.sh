#!/bin/sh
# Makes the WAV fixtures with real tools: ffmpeg for a quarter second of
# tone with INFO texts, mutagen for an ID3 tag with a cover in an "id3 "
# chunk. Needs ffmpeg and python3-mutagen.
#
#   info.wav  16-bit mono at 8 kHz; INFO title, artist, album, date, genre,
#             comment and track written by ffmpeg.
#   id3.wav   the same stream without INFO, with an ID3 tag holding a title
#             and a JPEG front cover, stored as-is.
#
# Beside each file, FILE.json is its whole expected record; ../flac/check.py
# prints what mutagen reads from the same files to compare it with.
set -eu
cd "$(dirname "$0")"
ff="ffmpeg -hide_banner -loglevel error -y"
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
tone="sine=frequency=440:sample_rate=8000:duration=0.25"

$ff -f lavfi -i "$tone" -ac 1 -c:a pcm_s16le -fflags +bitexact -metadata title="Sine Song" \
  -metadata artist="Tone Maker" -metadata album="Test Tones" -metadata date=2020 -metadata genre=Jazz \
  -metadata comment="Half a second" -metadata track=3 info.wav

$ff -f lavfi -i "$tone" -ac 1 -c:a pcm_s16le -fflags +bitexact id3.wav
$python - id3.wav ../flac/cover.jpg <<'PY'
import sys
from mutagen.id3 import APIC, TIT2
from mutagen.wave import WAVE
f = WAVE(sys.argv[1])
f.add_tags()
f.tags.add(TIT2(encoding=3, text="Tagged Wave"))
f.tags.add(APIC(encoding=3, mime="image/jpeg", type=3, desc="Front", data=open(sys.argv[2], "rb").read()))
f.save()
PY

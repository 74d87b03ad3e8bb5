#!/bin/sh
# Makes the Ogg fixtures with real tools: ffmpeg for a quarter second of
# tone and the cover, oggenc and opusenc for the streams and their comments,
# mutagen for a picture in a Vorbis comment. Needs ffmpeg, vorbis-tools,
# opus-tools and python3-mutagen.
#
#   tagged.ogg   Vorbis; comments (a repeated ARTIST) and a JPEG front cover
#                as a base64 METADATA_BLOCK_PICTURE comment.
#   tagged.opus  Opus at 8 kHz input; comments and a picture from opusenc.
#
# Beside each file, FILE.json is its whole expected record; ../flac/check.py
# prints what mutagen reads from the same files to compare it with.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff="ffmpeg -hide_banner -loglevel error -y"
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

cp ../flac/cover.jpg "$tmp/cover.jpg"
$ff -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.25" -ac 1 -c:a pcm_s16le -fflags +bitexact "$tmp/tone.wav"

oggenc --quiet --serial 1234 -q 0 -o tagged.ogg -t "Sine Song" -a "Tone Maker" -c "artist=Second Maker" \
  -l "Test Tones" -N 3 -c "comment=lower-case key" "$tmp/tone.wav"
$python - tagged.ogg "$tmp/cover.jpg" <<'PY'
import base64, sys
from mutagen.flac import Picture
from mutagen.oggvorbis import OggVorbis
f = OggVorbis(sys.argv[1])
p = Picture()
p.type, p.mime, p.desc, p.width, p.height, p.depth = 3, "image/jpeg", "Front", 8, 8, 24
p.data = open(sys.argv[2], "rb").read()
f["METADATA_BLOCK_PICTURE"] = [base64.b64encode(p.write()).decode("ascii")]
f.save()
PY

opusenc --quiet --serial 1234 --title "Sine Song" --artist "Tone Maker" --album "Test Tones" \
  --comment "TRACKNUMBER=3" --picture "3|image/jpeg|Front||$tmp/cover.jpg" "$tmp/tone.wav" tagged.opus

#!/bin/sh
# Makes the MPEG-4 fixtures of the mp4 tests with real tools: ffmpeg for the
# media, AtomicParsley and mutagen for the item lists and covers. Each file is
# a half second of tiny media. Needs ffmpeg, AtomicParsley and python3-mutagen.
#
#   audio.m4a  AAC only; items and a JPEG cover written by AtomicParsley,
#              which puts the movie box before the media data.
#   video.mp4  a sound track, then a video track; text items, track and disc
#              by ffmpeg, a PNG cover added by mutagen; the movie box stays
#              after the media data (no +faststart).
#   clip.3gp   H.263 video, then AAC sound, with +faststart; 3GPP titles, no
#              item list.
#   aac_48k_stereo.m4a, alac_44k_mono.m4a, opus_48k_stereo.mp4,
#   ac3_48k_mono.mp4   one sound track each, for the "audio" member: the
#              codecs whose sample entries differ in where the channel count
#              and the rate are given.
#   av_22k_stereo.mp4  MPEG-4 video at 64x48, then AAC at 22.05 kHz, one
#              second, for "audio" and "video" together.
#   tags.m4a   AAC with the items of "tags" the others lack, by mutagen: a
#              genre as text, a date, a composer, a comment, a track without
#              a total; and two covers, a PNG and a JPEG.
#
# Beside each file, FILE.json is its whole expected record, checked by hand
# against exiftool's reading of the same file; regenerating the media (new
# times, new offsets) means checking and rewriting those too. Their "audio",
# "video" and "tags" members are written by ../check_peers.py --update, which
# fails unless ffprobe and mutagen agree with them.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff="ffmpeg -hide_banner -loglevel error -y"
when="creation_time=2020-01-02T03:04:05Z"
tone="sine=frequency=440:sample_rate=8000:duration=0.5"
# mutagen comes with the system's Python (python3-mutagen).
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
exact="-fflags +bitexact -flags:v +bitexact -flags:a +bitexact"

$ff -f lavfi -i color=c=red:s=8x8 -frames:v 1 -bitexact cover.jpg
$ff -f lavfi -i color=c=blue:s=4x4 -frames:v 1 -bitexact cover.png

$ff -f lavfi -i "$tone" -c:a aac -b:a 16k -ac 1 -metadata "$when" $exact "$tmp/audio.m4a"
AtomicParsley "$tmp/audio.m4a" --title "Sine Song" --artist "Tone Maker" \
  --album "Test Tones" --albumArtist "Various" --description "Half a second of A4" \
  --copyright "2020 Nobody" --tracknum 3/12 --disk 1/2 --genre "Jazz" \
  --artwork cover.jpg --output audio.m4a >/dev/null

$ff -f lavfi -i testsrc=size=32x32:rate=10:duration=0.5 -f lavfi -i "$tone" \
  -map 1:a -map 0:v -c:a aac -b:a 16k -ac 1 -c:v mpeg4 -metadata "$when" \
  -metadata title="Test Card" -metadata artist="Pattern Maker" -metadata album="Cards" \
  -metadata track=5/9 -metadata disc=2/3 -metadata copyright="2020 Nobody" \
  $exact "$tmp/video.mp4"
$python - "$tmp/video.mp4" <<'PY'
import sys
from mutagen.mp4 import MP4, MP4Cover
f = MP4(sys.argv[1])
f["covr"] = [MP4Cover(open("cover.png", "rb").read(), MP4Cover.FORMAT_PNG)]
f.save()
PY
cp "$tmp/video.mp4" video.mp4

$ff -f lavfi -i testsrc=size=128x96:rate=10:duration=0.5 -f lavfi -i "$tone" \
  -map 0:v -map 1:a -c:v h263 -c:a aac -b:a 16k -ac 1 -metadata "$when" \
  -metadata title="Phone Clip" -movflags +faststart $exact -f 3gp clip.3gp

sound() { # NAME SECONDS RATE CHANNELS CODEC-ARGS...
  name=$1 seconds=$2 rate=$3 channels=$4
  shift 4
  $ff -f lavfi -i "sine=frequency=440:sample_rate=$rate:duration=$seconds" -ac "$channels" "$@" \
    -metadata "$when" -movflags +faststart $exact "$name"
}
sound aac_48k_stereo.m4a 0.5 48000 2 -c:a aac -b:a 32k
sound alac_44k_mono.m4a 0.1 44100 1 -c:a alac
sound opus_48k_stereo.mp4 0.5 48000 2 -c:a libopus -b:a 16k
sound ac3_48k_mono.mp4 0.5 48000 1 -c:a ac3 -b:a 32k

$ff -f lavfi -i testsrc=size=64x48:rate=10:duration=1 -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=1" \
  -map 0:v -map 1:a -c:v mpeg4 -c:a aac -b:a 24k -ac 2 -metadata "$when" -movflags +faststart \
  $exact av_22k_stereo.mp4

cp aac_48k_stereo.m4a "$tmp/tags.m4a"
$python - "$tmp/tags.m4a" <<'PY'
import sys
from mutagen.mp4 import MP4, MP4Cover
f = MP4(sys.argv[1])
f.update({"\xa9nam": ["Items"], "\xa9ART": ["Dora"], "\xa9gen": ["Ambient"],
          "\xa9day": ["2018-07-01"], "\xa9wrt": ["Fritz"], "\xa9cmt": ["note"],
          "trkn": [(4, 0)], "disk": [(2, 3)],
          "covr": [MP4Cover(open("cover.png", "rb").read(), MP4Cover.FORMAT_PNG),
                   MP4Cover(open("cover.jpg", "rb").read(), MP4Cover.FORMAT_JPEG)]})
f.save()
PY
cp "$tmp/tags.m4a" tags.m4a

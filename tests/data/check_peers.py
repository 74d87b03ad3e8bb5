#!/usr/bin/python3
"""Checks the "audio", "video", "tags" and "pictures" members of the committed records of
the MP3 and MPEG-4 fixtures against ffprobe and mutagen: durations within
1% or 50 ms of ffprobe's (and of mutagen's for MP3), sample rates, channel
counts and video sizes exact, the bitrate of a constant-bitrate MP3 within
1 kbit/s of mutagen's, and every tag equal to what mutagen's easy interface
reads (several values joined with "; "; the year is the date's first part;
the ID3 comment, which the easy interface lacks, is the first COMM frame's).
Every picture listed must be one mutagen reads (its bytes at the offset
given, the same MIME type and kind), in file order; for MPEG-4 every cover
must be listed. JPEG records are left to the suite's exact comparison. Both peers
count an ID3v1 tag at the end of an MP3 as audio when they take its
duration from the bytes, where the record leaves the tag out: for such a
file a peer's duration may also be the record's plus the tag's 128 bytes at
the record's bitrate. A fixture
whose peers find a stream that its record lacks, or the other way round,
fails too. Exits non-zero on any disagreement.

    check_peers.py                   check the committed records
    check_peers.py --update WORKER   first write into the records the
                                       members the worker (mediasiftd) gives;
                                       a fixture without a record gets the
                                       worker's whole record

Needs ffprobe (ffmpeg) and python3-mutagen."""
import glob
import json
import os
import subprocess
import sys

import mutagen
import mutagen.id3
import mutagen.mp3
import mutagen.mp4

HERE = os.path.dirname(os.path.abspath(__file__))
MEMBERS = ('audio', 'video', 'tags', 'pictures')
# Record tag names and the easy interface's keys.
EASY_TEXTS = (('title', 'title'), ('artist', 'artist'), ('album', 'album'),
              ('albumArtist', 'albumartist'), ('genre', 'genre'), ('composer', 'composer'))
EASY_PAIRS = (('track', 'trackTotal', 'tracknumber'), ('disc', 'discTotal', 'discnumber'))


def fixtures():
    """(media file, record file, JSON indent) of every fixture checked."""
    for media in sorted(glob.glob(os.path.join(HERE, 'id3', '*.mp3'))):
        yield media, media[:-4] + '.json', 1
    for pattern in ('*.m4a', '*.mp4', '*.3gp'):
        for media in sorted(glob.glob(os.path.join(HERE, 'mp4', pattern))):
            yield media, media + '.json', 2


def worker_records(worker, paths):
    lines = ''.join('%d:%s\n' % (i, p) for i, p in enumerate(paths))
    out = subprocess.run([worker, '-demon'], input=lines, capture_output=True, text=True,
                         check=False).stdout
    records = {}
    for line in out.splitlines():
        number, _, text = line.partition(':')
        records[paths[int(number)]] = json.loads(text)
    return records


def update(worker):
    found = list(fixtures())
    records = worker_records(worker, [media for media, _, _ in found])
    for media, record_path, indent in found:
        made = records[media]
        if os.path.exists(record_path):
            with open(record_path, encoding='utf-8') as f:
                record = json.load(f)
            for key in MEMBERS:
                record.pop(key, None)
                if key in made:
                    record[key] = made[key]
        else:
            record = made
        with open(record_path, 'w', encoding='utf-8') as f:
            json.dump(record, f, ensure_ascii=False, indent=indent)
            f.write('\n')


def ffprobe(media):
    out = subprocess.run(['ffprobe', '-v', 'error', '-of', 'json', '-show_streams', media],
                         capture_output=True, text=True, check=True).stdout
    streams = json.loads(out).get('streams', [])
    audio = [s for s in streams if s.get('codec_type') == 'audio']
    # Cover art shows as a video stream marked as an attached picture.
    video = [s for s in streams if s.get('codec_type') == 'video'
             and not s.get('disposition', {}).get('attached_pic')]
    return (audio[0] if audio else None), (video[0] if video else None)


def id3v1_at_end(media):
    with open(media, 'rb') as f:
        f.seek(0, os.SEEK_END)
        if f.tell() < 128:
            return False
        f.seek(-128, os.SEEK_END)
        return f.read(3) == b'TAG'


def close(ours, theirs):
    return abs(ours - theirs) <= max(0.05, 0.01 * theirs)


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, ok, media, what):
        if not ok:
            self.failures.append('%s: %s' % (os.path.relpath(media, HERE), what))

    def present(self, media, key, ours, theirs, peer):
        self.expect((ours is None) == (theirs is None), media,
                    '%s %s in the record, %s by %s' % (key, 'absent' if ours is None else 'present',
                                                       'none' if theirs is None else 'one', peer))
        return ours is not None and theirs is not None

    def duration(self, media, ours, theirs, peer):
        self.expect('duration' in ours, media, 'no duration')
        if 'duration' in ours and theirs is not None:
            counted = [ours['duration']]
            if id3v1_at_end(media) and ours.get('bitrate'):
                counted.append(ours['duration'] + 128 * 8 / (ours['bitrate'] * 1000))
            self.expect(any(close(d, float(theirs)) for d in counted), media,
                        'duration %s, %s says %s' % (ours['duration'], peer, theirs))

    def exact(self, media, ours, key, theirs, peer):
        self.expect(ours.get(key) == int(theirs), media,
                    '%s %s, %s says %s' % (key, ours.get(key), peer, theirs))

    def against_ffprobe(self, media, record):
        audio, video = ffprobe(media)
        ours = record.get('audio')
        if self.present(media, 'audio', ours, audio, 'ffprobe'):
            self.duration(media, ours, audio.get('duration'), 'ffprobe')
            self.exact(media, ours, 'sampleRate', audio['sample_rate'], 'ffprobe')
            self.exact(media, ours, 'channels', audio['channels'], 'ffprobe')
        ours = record.get('video')
        if self.present(media, 'video', ours, video, 'ffprobe'):
            self.duration(media, ours, video.get('duration'), 'ffprobe')
            self.exact(media, ours, 'width', video['width'], 'ffprobe')
            self.exact(media, ours, 'height', video['height'], 'ffprobe')

    def against_mutagen(self, media, record):
        try:
            info = mutagen.mp3.MP3(media).info
        except mutagen.MutagenError:
            info = None
        ours = record.get('audio')
        if not self.present(media, 'audio', ours, info, 'mutagen'):
            return
        self.duration(media, ours, info.length, 'mutagen')
        self.exact(media, ours, 'sampleRate', info.sample_rate, 'mutagen')
        self.exact(media, ours, 'channels', info.channels, 'mutagen')
        if not ours.get('vbr', True):
            self.expect(abs(ours.get('bitrate', 0) - info.bitrate / 1000) <= 1, media,
                        'bitrate %s, mutagen says %.3f' % (ours.get('bitrate'), info.bitrate / 1000))


def peer_tags(media):
    """The tags mutagen reads, under the record's names."""
    easy = mutagen.File(media, easy=True)
    tags = easy.tags if easy is not None and easy.tags is not None else {}
    out = {}
    for ours, theirs in EASY_TEXTS:
        values = [v for v in tags.get(theirs, []) if v]
        if values:
            out[ours] = '; '.join(values)
    dates = tags.get('date', [])
    if dates and dates[0]:
        out['year'] = dates[0].split('-')[0]
    for number, total, theirs in EASY_PAIRS:
        values = tags.get(theirs, [])
        if values:
            parts = (values[0].split('/') + [''])[:2]
            for key, part in zip((number, total), parts):
                if part.isdigit() and int(part) > 0:
                    out[key] = int(part)
    if media.endswith('.mp3'):
        try:
            comments = mutagen.id3.ID3(media).getall('COMM')
        except mutagen.MutagenError:
            comments = []
        if comments and '; '.join(comments[0].text):
            out['comment'] = '; '.join(comments[0].text)
    else:
        if tags.get('comment', [''])[0]:
            out['comment'] = '; '.join(tags['comment'])
        # The easy interface has no composer for MPEG-4 files.
        composers = (mutagen.mp4.MP4(media).tags or {}).get('\xa9wrt', [])
        if composers and composers[0]:
            out['composer'] = '; '.join(composers)
    return out


def peer_pictures(media):
    """(offset, size, mime, kind) of every picture mutagen reads, found in the
    file by its bytes, in file order."""
    with open(media, 'rb') as f:
        data = f.read()
    found = []
    if media.endswith('.mp3'):
        try:
            frames = mutagen.id3.ID3(media).getall('APIC')
        except mutagen.MutagenError:
            frames = []
        for frame in frames:
            kind = {3: 'front', 4: 'back'}.get(int(frame.type), 'other')
            found.append((data.find(frame.data), len(frame.data), frame.mime, kind))
    else:
        mimes = {13: 'image/jpeg', 14: 'image/png', 27: 'image/bmp'}
        for cover in (mutagen.mp4.MP4(media).tags or {}).get('covr', []):
            found.append((data.find(bytes(cover)), len(cover), mimes.get(cover.imageformat), 'front'))
    return sorted(found)


def check_pictures(checker, media, record):
    theirs = peer_pictures(media)
    ours = [(p.get('offset'), p.get('size'), p.get('mime'), p.get('kind'))
            for p in record.get('pictures', [])]
    checker.expect(ours == sorted(ours) and all(p in theirs for p in ours), media,
                   'pictures %s, mutagen says %s' % (ours, theirs))
    if not media.endswith('.mp3'):
        checker.expect(len(ours) == len(theirs), media,
                       'pictures %s, mutagen says %s' % (ours, theirs))


def main(argv):
    if len(argv) == 3 and argv[1] == '--update':
        update(argv[2])
    elif len(argv) != 1:
        sys.exit(__doc__)
    checker = Checker()
    count = 0
    for media, record_path, _ in fixtures():
        with open(record_path, encoding='utf-8') as f:
            record = json.load(f)
        checker.against_ffprobe(media, record)
        if media.endswith('.mp3'):
            checker.against_mutagen(media, record)
        theirs = peer_tags(media)
        checker.expect(record.get('tags', {}) == theirs, media,
                       'tags %s, mutagen says %s' % (record.get('tags', {}), theirs))
        check_pictures(checker, media, record)
        count += 1
    for failure in checker.failures:
        print('check_peers: ' + failure, file=sys.stderr)
    print('check_peers: %d fixtures, %d disagreements' % (count, len(checker.failures)))
    return 1 if checker.failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""Checks the "audio", "video", "tags" and "pictures" members of the committed records of
the MP3, MPEG-4, FLAC, Ogg Vorbis, Opus and WAV fixtures against ffprobe and
mutagen: durations within 1% or 50 ms of ffprobe's (and of mutagen's but for
MPEG-4), sample rates, channel counts and video sizes exact, the bitrate of
a constant-bitrate MP3 or of a WAV file within 1 kbit/s of mutagen's, and
every tag equal to what mutagen's easy interface reads (several values
joined with "; "; the year is the date's first part; the ID3 comment, which
the easy interface lacks, is the first COMM frame's; a WAV file's INFO
texts, which mutagen does not read, are read here). Every picture listed
must be one mutagen reads (its bytes at the offset given, the same MIME type
and kind), in file order; for MPEG-4 and FLAC every picture must be listed,
each FLAC picture's bytes with the same SHA-256 as mutagen's, and an Ogg
file lists none. JPEG records are left to the suite's exact comparison. Both peers
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
import hashlib
import json
import os
import struct
import subprocess
import sys

import mutagen
import mutagen.easyid3
import mutagen.flac
import mutagen.id3
import mutagen.mp3
import mutagen.mp4
import mutagen.wave

HERE = os.path.dirname(os.path.abspath(__file__))
MEMBERS = ('audio', 'video', 'tags', 'pictures')
# Record tag names and the easy interface's keys.
EASY_TEXTS = (('title', 'title'), ('artist', 'artist'), ('album', 'album'),
              ('albumArtist', 'albumartist'), ('genre', 'genre'), ('composer', 'composer'))
EASY_PAIRS = (('track', 'trackTotal', 'tracknumber'), ('disc', 'discTotal', 'discnumber'))


def fixtures():
    """(media file, record file, JSON indent) of every fixture checked."""
    for media in sorted(glob.glob(os.path.join(HERE, 'id3', '*.mp3'))):
        yield media, media + '.json', 1
    for folder, pattern in (('mp4', '*.m4a'), ('mp4', '*.mp4'), ('mp4', '*.3gp'), ('flac', '*.flac'),
                            ('ogg', '*.ogg'), ('ogg', '*.opus'), ('wav', '*.wav')):
        for media in sorted(glob.glob(os.path.join(HERE, folder, pattern))):
            yield media, media + '.json', 2


def is_mp4(media):
    return os.path.splitext(media)[1] in ('.m4a', '.mp4', '.3gp')


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
            info = mutagen.File(media).info
        except (mutagen.MutagenError, AttributeError):
            info = None
        ours = record.get('audio')
        if not self.present(media, 'audio', ours, info, 'mutagen'):
            return
        self.duration(media, ours, info.length, 'mutagen')
        # Opus always decodes at 48 kHz; mutagen gives no rate for it.
        self.exact(media, ours, 'sampleRate', getattr(info, 'sample_rate', 48000), 'mutagen')
        self.exact(media, ours, 'channels', info.channels, 'mutagen')
        if media.endswith('.wav'):
            self.expect(abs(ours.get('bitrate', 0) - info.bitrate / 1000) <= 1, media,
                        'bitrate %s, mutagen says %.3f' % (ours.get('bitrate'), info.bitrate / 1000))
        if not ours.get('vbr', True):
            self.expect(abs(ours.get('bitrate', 0) - info.bitrate / 1000) <= 1, media,
                        'bitrate %s, mutagen says %.3f' % (ours.get('bitrate'), info.bitrate / 1000))


def riff_info(media):
    """The texts of a WAV file's LIST/INFO chunk, which mutagen does not read,
    under mutagen's easy keys."""
    with open(media, 'rb') as f:
        data = f.read()
    names = {b'INAM': 'title', b'IART': 'artist', b'IPRD': 'album', b'IGNR': 'genre',
             b'ICRD': 'date', b'ICMT': 'comment', b'ITRK': 'tracknumber', b'IPRT': 'tracknumber'}
    tags = {}
    at = 12
    while at + 8 <= len(data):
        kind, size = data[at:at + 4], struct.unpack('<I', data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if kind == b'LIST' and body[:4] == b'INFO':
            i = 4
            while i + 8 <= len(body):
                sub, length = body[i:i + 4], struct.unpack('<I', body[i + 4:i + 8])[0]
                if sub in names:
                    tags.setdefault(names[sub], [body[i + 8:i + 8 + length].split(b'\0')[0].decode('latin-1')])
                i += 8 + length + (length & 1)
        at += 8 + size + (size & 1)
    return tags


def easy_tags(media):
    """The tags of `media` by mutagen's easy keys. A WAV file's ID3 chunk is
    read as EasyID3 reads an MP3's tag, its INFO texts where it has none."""
    if media.endswith('.wav'):
        id3 = mutagen.wave.WAVE(media).tags
        if id3 is None:
            return riff_info(media)
        easy = mutagen.easyid3.EasyID3()
        easy._EasyID3__id3 = id3  # EasyID3 has no public way to wrap a loaded tag
        return easy
    easy = mutagen.File(media, easy=True)
    return easy.tags if easy is not None and easy.tags is not None else {}


def id3_of(media):
    try:
        return mutagen.wave.WAVE(media).tags if media.endswith('.wav') else mutagen.id3.ID3(media)
    except mutagen.MutagenError:
        return None


def peer_tags(media):
    """The tags mutagen reads, under the record's names."""
    tags = easy_tags(media)
    vorbis = media.endswith(('.flac', '.ogg', '.opus'))
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
        # Vorbis comments may hold the total in a field of its own.
        totals = tags.get(theirs.replace('number', 'total'), []) if vorbis else []
        if total not in out and totals and totals[0].isdigit() and int(totals[0]) > 0:
            out[total] = int(totals[0])
    if vorbis:
        comments = tags.get('comment') or tags.get('description') or []
        if '; '.join(comments):
            out['comment'] = '; '.join(comments)
    elif media.endswith('.mp3') or (media.endswith('.wav') and id3_of(media) is not None):
        id3 = id3_of(media)
        comments = id3.getall('COMM') if id3 is not None else []
        if comments and '; '.join(comments[0].text):
            out['comment'] = '; '.join(comments[0].text)
    elif media.endswith('.wav'):
        if tags.get('comment', [''])[0]:
            out['comment'] = tags['comment'][0]
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
    if media.endswith(('.mp3', '.wav', '.flac')):
        if media.endswith('.flac'):
            frames = mutagen.flac.FLAC(media).pictures
        else:
            id3 = id3_of(media)
            frames = id3.getall('APIC') if id3 is not None else []
        for frame in frames:
            kind = {3: 'front', 4: 'back'}.get(int(frame.type), 'other')
            found.append((data.find(frame.data), len(frame.data), frame.mime, kind))
    elif is_mp4(media):
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
    if media.endswith('.flac'):
        with open(media, 'rb') as f:
            data = f.read()
        digests = sorted(hashlib.sha256(p.data).hexdigest() for p in mutagen.flac.FLAC(media).pictures)
        located = sorted(hashlib.sha256(data[o:o + n]).hexdigest() for o, n, _, _ in ours)
        checker.expect(located == digests, media, 'picture bytes differ from mutagen\'s')
    if not media.endswith(('.mp3', '.wav')):
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
        if not is_mp4(media):
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

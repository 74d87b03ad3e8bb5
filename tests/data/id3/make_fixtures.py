#!/usr/bin/python3
"""Makes the MP3 fixtures of the ID3 tests with real taggers (mutagen, eyeD3),
ffmpeg and ImageMagick, and writes beside each NAME.mp3 the record the parser
must make for it as NAME.mp3.json. Picture locations in those records are found
here independently, by searching the written file for the embedded image.

The "audio" and "tags" members of each record are not written here: after
remaking the fixtures, run ../check_peers.py --update BUILD/bin/mediasiftd,
which takes them from the worker and fails unless ffprobe and mutagen agree
with them. The suite compares records as text, members in the order the
parser writes them: MS_UPDATE_GOLDEN=1 on the golden test rewrites a record
that differs (read the change before committing it).

Run from anywhere; writes into the folder holding this script."""
import json
import os
import shutil
import struct
import subprocess

from mutagen.id3 import (APIC, COMM, ID3, PRIV, TALB, TCOM, TCON, TDRC, TIT2,
                         TPE1, TPE2, TPOS, TRCK, TXXX, WOAR, WXXX)

HERE = os.path.dirname(os.path.abspath(__file__))


def path(name):
    return os.path.join(HERE, name)


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def make_media():
    run('ffmpeg', '-hide_banner', '-loglevel', 'error', '-y', '-f', 'lavfi', '-i',
        'sine=frequency=440:duration=0.1:sample_rate=8000', '-ac', '1', '-c:a',
        'libmp3lame', '-b:a', '8k', '-id3v2_version', '0', '-write_xing', '0',
        '-fflags', '+bitexact', '-map_metadata', '-1', path('notag.mp3'))
    run('convert', '-size', '8x8', 'xc:red', '-strip', path('cover.jpg'))
    run('convert', '-size', '8x8', 'xc:blue', '-strip',
        '-define', 'png:exclude-chunks=date,time', path('back.png'))


def read(name):
    with open(path(name), 'rb') as f:
        return f.read()


def copy_base(name):
    shutil.copyfile(path('notag.mp3'), path(name))
    return path(name)


def located(data, image):
    """File offset and size of the one copy of `image` in `data`."""
    offset = data.find(image)
    assert offset > 0 and data.find(image, offset + 1) < 0
    return {'thumbOffset': offset, 'thumbSize': len(image)}


def write_record(name, id3):
    record = {'returnValue': True, 'id3': id3, 'type': 'audio', 'subtype': 'mpeg3'}  # the record's order
    with open(path(name + '.json'), 'w', encoding='utf-8') as f:
        json.dump(record, f, ensure_ascii=False, indent=1)
        f.write('\n')


def with_locations(name, pictures):
    """Picture objects in file order, from (object, image, located) triples;
    a located picture gets the offset and size of its image."""
    data = read(name)
    pictures = sorted(pictures, key=lambda p: data.find(read(p[1])))
    return [dict(picture, **located(data, read(image))) if where else picture
            for picture, image, where in pictures]


def v24_two_pictures():
    name = 'v24_two_pictures.mp3'
    tags = ID3()
    tags.add(TIT2(encoding=3, text='Grüße aus Köln'))
    tags.add(TPE1(encoding=3, text=['Alpha', 'Beta']))
    tags.add(TALB(encoding=0, text='Café'))
    tags.add(TCON(encoding=1, text='Jazz'))
    tags.add(TRCK(encoding=0, text='3/12'))
    tags.add(TDRC(encoding=0, text='2021'))
    tags.add(WOAR(url='http://example.com/artist'))
    tags.add(TXXX(encoding=3, desc='mood', text='calm'))
    tags.add(WXXX(encoding=0, desc='shop', url='http://example.com/shop'))
    tags.add(PRIV(owner='example.com', data=b'\x01\x02\x03'))
    tags.add(COMM(encoding=0, lang='eng', desc='', text='a comment'))
    tags.add(APIC(encoding=0, mime='image/jpeg', type=3, desc='', data=read('cover.jpg')))
    tags.add(APIC(encoding=1, mime='image/png', type=4, desc='Rückseite ♪', data=read('back.png')))
    tags.save(copy_base(name), v2_version=4)
    pictures = with_locations(name, [
        ({'type': 3, 'description': '', 'mime': 'image/jpeg'}, 'cover.jpg', True),
        ({'type': 4, 'description': 'Rückseite ♪', 'mime': 'image/png'}, 'back.png', True)])
    write_record(name, {
        'TIT2': ['Grüße aus Köln'], 'TPE1': ['Alpha', 'Beta'], 'TALB': ['Café'],
        'TCON': ['Jazz'], 'TRCK': ['3/12'], 'TDRC': ['2021'],
        'WOAR': 'http://example.com/artist', 'APIC': pictures})


def v23_one_picture():
    # Version 2.3 has no UTF-8 and no multiple values: the tagger writes UTF-16
    # and joins values with a slash; its year frame reaches the record as TDRC.
    # The description "Front" in UTF-16 ends in a zero byte before its
    # two-byte terminator.
    name = 'v23_one_picture.mp3'
    tags = ID3()
    tags.add(TIT2(encoding=0, text='Café del Mar'))
    tags.add(TPE1(encoding=1, text='Ånge Ödmann'))
    tags.add(TPE2(encoding=3, text=['One', 'Two']))
    tags.add(TDRC(encoding=0, text='1999'))
    tags.add(APIC(encoding=1, mime='image/png', type=3, desc='Front', data=read('back.png')))
    tags.save(copy_base(name), v2_version=3)
    pictures = with_locations(name, [
        ({'type': 3, 'description': 'Front', 'mime': 'image/png'}, 'back.png', True)])
    write_record(name, {
        'TIT2': ['Café del Mar'], 'TPE1': ['Ånge Ödmann'], 'TPE2': ['One/Two'],
        'TDRC': ['1999'], 'APIC': pictures})


def same_type():
    # Two covers of one picture type: each frame is its own picture, and both
    # are located.
    name = 'same_type.mp3'
    tags = ID3()
    tags.add(APIC(encoding=0, mime='image/jpeg', type=3, desc='a', data=read('cover.jpg')))
    tags.add(APIC(encoding=0, mime='image/png', type=3, desc='b', data=read('back.png')))
    tags.save(copy_base(name), v2_version=4)
    pictures = with_locations(name, [
        ({'type': 3, 'description': 'a', 'mime': 'image/jpeg'}, 'cover.jpg', True),
        ({'type': 3, 'description': 'b', 'mime': 'image/png'}, 'back.png', True)])
    write_record(name, {'APIC': pictures})


def eyed3_tagged():
    name = 'eyed3_v24.mp3'
    copy_base(name)
    run('eyeD3', '--quiet', '--no-color', '--to-v2.4', '-t', 'Night Train', '-a', 'Ödön',
        '-A', 'Rails', '--add-image', path('cover.jpg') + ':FRONT_COVER:Cover', path(name))
    pictures = with_locations(name, [
        ({'type': 3, 'description': 'Cover', 'mime': 'image/jpeg'}, 'cover.jpg', True)])
    write_record(name, {'TIT2': ['Night Train'], 'TPE1': ['Ödön'], 'TALB': ['Rails'],
                        'APIC': pictures})


def tags_v23():
    # What the "tags" member reads that the other fixtures lack: a composer,
    # a disc number, a genre as an ID3v1 number in parentheses, a full date
    # and a comment, in a version 2.3 tag.
    name = 'tags_v23.mp3'
    tags = ID3()
    tags.add(TIT2(encoding=1, text='Second Song'))
    tags.add(TPE1(encoding=0, text='Anna'))
    tags.add(TCOM(encoding=0, text='Carla'))
    tags.add(TPOS(encoding=0, text='2/3'))
    tags.add(TCON(encoding=0, text='(17)'))
    tags.add(TDRC(encoding=0, text='1999-05-01'))
    tags.add(COMM(encoding=1, lang='eng', desc='', text='spoken words'))
    tags.save(copy_base(name), v2_version=3)
    write_record(name, {'TIT2': ['Second Song'], 'TPE1': ['Anna'], 'TCOM': ['Carla'],
                        'TPOS': ['2/3'], 'TCON': ['17'], 'TDRC': ['1999-05-01']})


def id3v1_only():
    name = 'id3v1.mp3'
    copy_base(name)
    run('eyeD3', '--quiet', '--no-color', '-1', '-t', 'Old Song', '-a', 'Someone',
        '-A', 'Vinyl', '-n', '7', '-G', 'Jazz', path(name))
    # An ID3v1 genre reaches the record as its number (Jazz is 8).
    write_record(name, {'TIT2': ['Old Song'], 'TPE1': ['Someone'], 'TALB': ['Vinyl'],
                        'TRCK': ['7'], 'TCON': ['8']})


FFMPEG = ['ffmpeg', '-hide_banner', '-loglevel', 'error', '-y']


def encoded(name, seconds, rate, channels, codec_args, tag_args=(), fmt='mp3'):
    """A sine tone encoded by ffmpeg, without the encoder's name in the tag
    (-fflags +bitexact), so that every run makes the same bytes."""
    run(*FFMPEG, '-f', 'lavfi', '-i',
        'sine=frequency=440:duration=%s:sample_rate=%d' % (seconds, rate), '-ac', str(channels),
        *codec_args, '-map_metadata', '-1', *tag_args, '-fflags', '+bitexact', '-f', fmt,
        path(name))


def xing_to_vbri(source, name):
    """A copy of an encoder's Xing file whose first frame holds a VBRI header
    (as Fraunhofer's encoders write) instead, with the same counts. No Debian
    tool writes VBRI, so the header is put in by hand; the audio is
    ffmpeg's."""
    data = bytearray(read(source))
    xing = data.find(b'Xing')
    flags, frames, size = struct.unpack('>III', data[xing + 4:xing + 16])
    assert flags & 3 == 3
    frame = data.rfind(b'\xff', 0, xing - 4)
    while not (data[frame] == 0xFF and data[frame + 1] & 0xE0 == 0xE0):
        frame = data.rfind(b'\xff', 0, frame)
    data[xing:xing + 4] = b'\0\0\0\0'
    # tag, version 1, delay, quality, bytes, frames, no table of contents
    vbri = b'VBRI' + struct.pack('>HHHIIHHHH', 1, 0, 75, size, frames, 0, 1, 2, 1)
    data[frame + 36:frame + 36 + len(vbri)] = vbri
    with open(path(name), 'wb') as f:
        f.write(bytes(data))


def audio_fixtures():
    """Encoder-made streams for the "audio" member: CBR with an Info header,
    VBR with a Xing header and with a VBRI one, CBR without either (and an
    ID3v1 tag at the end), and a layer II stream; mono and stereo at 22.05,
    44.1 and 48 kHz."""
    title = ['-id3v2_version', '4', '-metadata', 'title=Tone']
    encoded('cbr_info_44k_stereo.mp3', 0.5, 44100, 2, ['-c:a', 'libmp3lame', '-b:a', '64k'], title)
    write_record('cbr_info_44k_stereo.mp3', {'TIT2': ['Tone']})
    encoded('vbr_xing_22k_mono.mp3', 1, 22050, 1, ['-c:a', 'libmp3lame', '-q:a', '6'], title)
    write_record('vbr_xing_22k_mono.mp3', {'TIT2': ['Tone']})
    xing_to_vbri('vbr_xing_22k_mono.mp3', 'vbr_vbri_22k_mono.mp3')
    write_record('vbr_vbri_22k_mono.mp3', {'TIT2': ['Tone']})
    encoded('cbr_plain_48k_id3v1.mp3', 0.5, 48000, 2,
            ['-c:a', 'libmp3lame', '-b:a', '32k', '-write_xing', '0'], ['-id3v2_version', '0'])
    run('eyeD3', '--quiet', '--no-color', '-1', '-t', 'Tone', path('cbr_plain_48k_id3v1.mp3'))
    # The tagger fills an ID3v1 tag's genre with 12 (Other) when given none.
    write_record('cbr_plain_48k_id3v1.mp3', {'TIT2': ['Tone'], 'TCON': ['12']})
    encoded('layer2_22k_mono.mp3', 0.5, 22050, 1, ['-c:a', 'mp2', '-b:a', '32k'], fmt='mp2')
    tags = ID3()
    tags.add(TIT2(encoding=3, text='Tone'))
    tags.save(path('layer2_22k_mono.mp3'), v2_version=4)
    write_record('layer2_22k_mono.mp3', {'TIT2': ['Tone']})


def main():
    make_media()
    audio_fixtures()
    write_record('notag.mp3', {})
    v24_two_pictures()
    v23_one_picture()
    same_type()
    eyed3_tagged()
    tags_v23()
    id3v1_only()


if __name__ == '__main__':
    main()

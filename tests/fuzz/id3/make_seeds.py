#!/usr/bin/python3
"""Writes byte-built seed tags for the MP3 fuzz target into seeds/: the tag
layouts the tagger-made fixtures do not cover."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def tag(version, body, flags=0):
    return b'ID3' + bytes([version, 0, flags]) + synchsafe(len(body)) + body


def frame(version, fid, data, flags=0):
    if version == 2:
        return fid + struct.pack('>I', len(data))[1:] + data
    size = synchsafe(len(data)) if version == 4 else struct.pack('>I', len(data))
    return fid + size + bytes([0, flags]) + data


def unsynchronised(data):
    """Inserts a zero after every 0xFF that a zero or a byte of 0xE0 and up
    follows, or that ends the data."""
    out = bytearray()
    for i, byte in enumerate(data):
        out.append(byte)
        if byte == 0xFF and (i + 1 == len(data) or data[i + 1] == 0 or data[i + 1] >= 0xE0):
            out.append(0)
    return bytes(out)


PICTURE = b'\x00image/png\x00\x03\x00' + b'\x89PNG\r\n\x1a\n'
UTF16_PICTURE = b'\x01image/jpeg\x00\x04\xff\xfeF\x00r\x00\x00\x00' + b'\xff\xd8\xff\xe0'
V1 = (b'TAG' + b'Title'.ljust(30, b'\0') + b'Artist'.ljust(30, b'\0') + b'Album'.ljust(30, b'\0')
      + b'1999' + b'Comment'.ljust(28, b'\0') + b'\x00\x05' + b'\x08')

SEEDS = {
    'v22_pictures': tag(2, frame(2, b'TT2', b'\x00Title\x00') + frame(2, b'PIC', b'\x00JPG\x03\x00abc')
                        + frame(2, b'PIC', b'\x01PNG\x04\xff\xfeB\x00\x00\x00xyz')),
    'v23_extended_header': tag(3, struct.pack('>I', 6) + bytes(6) + frame(3, b'APIC', PICTURE), 0x40),
    'v24_extended_header': tag(4, synchsafe(6) + b'\x01\x00' + frame(4, b'APIC', PICTURE), 0x40),
    'v24_grouping': tag(4, frame(4, b'APIC', b'\x07' + PICTURE, 0x40) + frame(4, b'APIC', UTF16_PICTURE)),
    'v23_unsynchronised': tag(3, unsynchronised(frame(3, b'TIT2', b'\x00a\xff\xe0') + frame(3, b'APIC', PICTURE)),
                              0x80),
    'v24_frame_flags': tag(4, frame(4, b'APIC', PICTURE, 0x02)
                           + frame(4, b'APIC', synchsafe(len(PICTURE)) + PICTURE, 0x01)),
    'v23_compressed': tag(3, frame(3, b'APIC', struct.pack('>I', len(PICTURE)) + zlib.compress(PICTURE), 0x80)),
    'v24_compressed': tag(4, frame(4, b'TIT2', synchsafe(6) + zlib.compress(b'\x03title'), 0x09)),
    'v24_multi_text': tag(4, frame(4, b'TPE1', b'\x03one\x00two\x00three') + frame(4, b'TCON', b'\x00(8)Jazz')
                          + frame(4, b'WOAR', b'http://example.com') + frame(4, b'COMM', b'\x00engd\x00c')),
    'v22_unsynchronised': tag(2, unsynchronised(frame(2, b'PIC', b'\x00JPG\x03\x00\xff\xe0abc')
                                                + frame(2, b'PIC', b'\x00PNG\x03\x00abc')), 0x80),
    'v24_unsynchronised_data_length': tag(4, frame(4, b'APIC', synchsafe(len(PICTURE)) + unsynchronised(PICTURE), 0x03)
                                          + frame(4, b'APIC', PICTURE)),
    'id3v1_only': bytes(300) + V1,
    'v24_footer_appended': bytes(64) + b'ID3\x04\x00\x10' + synchsafe(12) + frame(4, b'TIT2', b'\x00ab')
                           + b'3DI\x04\x00\x10' + synchsafe(12) + V1,
}

for name, data in SEEDS.items():
    with open(os.path.join(HERE, 'seeds', name), 'wb') as f:
        f.write(data)

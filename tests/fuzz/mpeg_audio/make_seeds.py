#!/usr/bin/python3
"""Writes byte-built MPEG audio streams for the MP3 audio fuzz target into
seeds/: the layouts the encoder-made fixtures do not cover."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def tag(body, flags=0):
    return b'ID3\x04\x00' + bytes([flags]) + synchsafe(len(body)) + body


def header(version, layer, bitrate, rate, padding=0, mode=0):
    return bytes([0xFF, 0xE0 | version << 3 | layer << 1 | 1, bitrate << 4 | rate << 2 | padding << 1, mode << 6])


def frame(head, length, body=b''):
    return head + body + bytes(length - 4 - len(body))


CBR = header(3, 1, 9, 0)  # MPEG 1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes
MONO = header(2, 1, 8, 0, mode=3)  # MPEG 2 layer III, 64 kbit/s, 22.05 kHz: 208
SEEDS = {
    'xing_after_tag': tag(b'pad') + frame(CBR, 417, bytes(32) + b'Xing' + struct.pack('>IIII', 3, 100, 41700, 0))
                      + frame(CBR, 417) * 2,
    'vbri': frame(CBR, 417, bytes(32) + b'VBRI' + struct.pack('>HHHII', 1, 0, 75, 41700, 100)) + frame(CBR, 417),
    'info_mono_mpeg2': frame(MONO, 208, bytes(9) + b'Info' + struct.pack('>II', 1, 50)) + frame(MONO, 208),
    'fake_sync_in_tag': tag(frame(MONO, 208) * 2) + frame(CBR, 417) * 2,
    'footer_and_id3v1': tag(b'', 0x10) + b'3DI\x04\x00\x10\x00\x00\x00\x00' + frame(CBR, 417) * 2
                        + b'TAG' + bytes(125),
    'free_format': frame(header(3, 1, 0, 0), 417) * 3,
    'layer1_and_layer2': frame(header(3, 3, 12, 0), 416) * 2 + frame(header(2, 2, 4, 0), 208) * 2,
    'mpeg25_8k': frame(header(0, 1, 1, 2, mode=3), 72) * 3,
}


def main():
    os.makedirs(os.path.join(HERE, 'seeds'), exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(HERE, 'seeds', name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()

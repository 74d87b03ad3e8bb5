#!/usr/bin/python3
"""Writes the crafted MP4 files that once cost the walk far more than any real
file into regressions/, for the fuzz replay. The 72 MB sparse variant (empty
movie boxes each before a 64 KiB free box) is written at test time by the MP4
walk test instead of being kept here."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def box(code, payload=b''):
    return struct.pack('>I', 8 + len(payload)) + code + payload


REGRESSIONS = {
    # Every empty movie box started a walk that re-read all the boxes after it.
    'empty_movies_2000': box(b'moov') * 2000,
}

for name, data in REGRESSIONS.items():
    with open(os.path.join(HERE, 'regressions', name), 'wb') as f:
        f.write(data)

#!/usr/bin/env python3
"""Prints what mutagen reads from an audio fixture: the values its golden
record must agree with (tags, duration, sample rate, channels, and the size
and sha256 of every picture's bytes). Usage: check.py FILE..."""
import base64
import hashlib
import sys

import mutagen
from mutagen.flac import Picture

for path in sys.argv[1:]:
    f = mutagen.File(path)
    info = f.info
    rate = getattr(info, "sample_rate", 48000)  # Opus always decodes at 48 kHz
    print(path, "duration", round(info.length, 6), "rate", rate, "channels", info.channels)
    pictures = list(getattr(f, "pictures", []))
    for key, value in sorted(f.tags.items()) if f.tags is not None and hasattr(f.tags, "items") else []:
        if key.upper() == "METADATA_BLOCK_PICTURE":
            pictures += [Picture(base64.b64decode(v)) for v in value]
        elif key.startswith("APIC"):
            print("  picture", value.type, value.mime, value.desc, len(value.data),
                  hashlib.sha256(value.data).hexdigest()[:16])
        else:
            print("  tag", key, value)
    for p in pictures:
        print("  picture", p.type, p.mime, p.desc, p.width, p.height, len(p.data),
              hashlib.sha256(p.data).hexdigest()[:16])

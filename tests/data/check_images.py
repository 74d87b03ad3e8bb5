#!/usr/bin/python3
"""Checks the "image" and "location" members of the image fixtures' committed
records against ImageMagick's identify and exiftool, and fails on any
disagreement: width and height exact, position and altitude within 1e-6.
The committed records are what the parser gives (the suite compares them
whole); this script shows that they agree with the peers.

Run from anywhere; needs identify and exiftool on the PATH."""
import json
import os
import subprocess
import sys

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'image')

# The fixtures; each one's record is FILE.json beside it.
FIXTURES = ('thumb_motorola.jpg', 'thumb_intel.jpg', 'no_thumb.jpg', 'make_only.jpg', 'no_exif.jpg', 'plain.tif',
            'gps_north_east.jpg', 'gps_south_west.jpg', 'size.png', 'size.gif', 'size.bmp', 'size_os2.bmp')
TOLERANCE = 1e-6


def peer_members(path):
    """The members as identify and exiftool give them."""
    width, height = subprocess.run(['identify', '-format', '%w %h', path + '[0]'], check=True,
                                   capture_output=True, text=True).stdout.split()
    members = {'image': {'width': int(width), 'height': int(height)}}
    gps = json.loads(subprocess.run(['exiftool', '-j', '-n', '-GPSLatitude', '-GPSLongitude', '-GPSAltitude',
                                     path], check=True, capture_output=True, text=True).stdout)[0]
    if 'GPSLatitude' in gps and 'GPSLongitude' in gps:
        location = {'latitude': float(gps['GPSLatitude']), 'longitude': float(gps['GPSLongitude'])}
        if 'GPSAltitude' in gps:
            location['altitude'] = float(gps['GPSAltitude'])
        members['location'] = location
    return members


def disagreements(record, peer):
    found = []
    if record.get('image') != peer['image']:
        found.append('image %s, peer %s' % (record.get('image'), peer['image']))
    ours, theirs = record.get('location'), peer.get('location')
    if (ours is None) != (theirs is None) or (ours is not None and (
            ours.keys() != theirs.keys() or any(abs(ours[k] - theirs[k]) > TOLERANCE for k in ours))):
        found.append('location %s, peer %s' % (ours, theirs))
    return found


def main():
    failed = False
    for fixture in FIXTURES:
        path = os.path.join(HERE, fixture + '.json')
        with open(path, encoding='utf-8') as f:
            record = json.load(f)
        peer = peer_members(os.path.join(HERE, fixture))
        for problem in disagreements(record, peer):
            print('%s: %s' % (fixture, problem))
            failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
